#include "speakers_onnx/wespeaker.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace quillfen::onnx {

namespace {

constexpr std::array<DimSpec, 3> kInputDims = {DimSpec::any(), DimSpec::any(),
                                               DimSpec::exactly(speakers::kMelBins)};
constexpr std::array<DimSpec, 2> kOutputDims = {DimSpec::any(),
                                                DimSpec::exactly(speakers::kEmbeddingDim)};
constexpr ModelInterface kInterface = {"feats", kInputDims, "embs", kOutputDims};

}  // namespace

std::expected<WespeakerEmbedder, SpeakerOnnxError> WespeakerEmbedder::open(
    const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan) {
  return open_as<WespeakerEmbedder>(model_path, plan, kInterface);
}

std::expected<SpeakerEmbedding, SpeakerOnnxError> WespeakerEmbedder::embed(
    const speakers::FeatureMatrix& features) const {
  if (features.frames() == 0 || features.bins() != speakers::kMelBins) {
    return std::unexpected(SpeakerOnnxError::invalid_features(features.frames(), features.bins()));
  }
  const std::array<std::int64_t, 3> shape = {1, static_cast<std::int64_t>(features.frames()),
                                             speakers::kMelBins};
  auto output = runner_.run(features.values(), shape);
  if (!output) return std::unexpected(output.error());

  constexpr std::array<std::int64_t, 2> kExpected = {1, speakers::kEmbeddingDim};
  if (!std::ranges::equal(output->shape, kExpected)) {
    return std::unexpected(SpeakerOnnxError::model_io_mismatch(
        "output shape " + format_shape(output->shape) + " is not [1, " +
        std::to_string(speakers::kEmbeddingDim) + "]"));
  }
  SpeakerEmbedding embedding;
  std::ranges::copy(output->values, embedding.begin());
  return embedding;
}

}  // namespace quillfen::onnx
