#include "speakers_onnx/wespeaker.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quillfen::onnx {

namespace {

constexpr std::array<DimSpec, 3> kInputDims = {DimSpec::any(), DimSpec::any(),
                                               DimSpec::exactly(kWespeakerFeatureBins)};
constexpr std::array<DimSpec, 2> kOutputDims = {DimSpec::any(),
                                                DimSpec::exactly(kWespeakerEmbeddingDim)};

}  // namespace

std::expected<WespeakerEmbedder, SpeakerOnnxError> WespeakerEmbedder::open(
    const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan) {
  auto runner =
      SpeakerModelRunner::open(model_path, plan, "feats", kInputDims, "embs", kOutputDims);
  if (!runner) return std::unexpected(runner.error());
  return WespeakerEmbedder(std::move(*runner));
}

std::expected<SpeakerEmbedding, SpeakerOnnxError> WespeakerEmbedder::embed(
    const speakers::FeatureMatrix& features) const {
  if (features.frames() == 0 || features.bins() != kWespeakerFeatureBins) {
    return std::unexpected(SpeakerOnnxError::invalid_features(features.frames(), features.bins()));
  }
  std::vector<float> values = features.values();
  const std::array<std::int64_t, 3> shape = {1, static_cast<std::int64_t>(features.frames()),
                                             kWespeakerFeatureBins};
  auto output = runner_.run(values, shape);
  if (!output) return std::unexpected(output.error());

  constexpr std::array<std::int64_t, 2> kExpected = {1, kWespeakerEmbeddingDim};
  if (!std::ranges::equal(output->shape, kExpected)) {
    return std::unexpected(SpeakerOnnxError::model_io_mismatch(
        "output shape " + format_shape(output->shape) + " is not [1, " +
        std::to_string(kWespeakerEmbeddingDim) + "]"));
  }
  SpeakerEmbedding embedding;
  std::ranges::copy(output->values, embedding.begin());
  return embedding;
}

}  // namespace quillfen::onnx
