#include "speakers_onnx/pyannote.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace quillfen::onnx {

namespace {

constexpr std::array<DimSpec, 3> kInputDims = {DimSpec::any(), DimSpec::any(), DimSpec::any()};
constexpr std::array<DimSpec, 3> kOutputDims = {DimSpec::any(), DimSpec::any(),
                                                DimSpec::exactly(kPyannoteClasses)};

}  // namespace

std::expected<PyannoteSegmenter, SpeakerOnnxError> PyannoteSegmenter::open(
    const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan) {
  auto runner =
      SpeakerModelRunner::open(model_path, plan, "input_values", kInputDims, "logits", kOutputDims);
  if (!runner) return std::unexpected(runner.error());
  return PyannoteSegmenter(std::move(*runner));
}

std::expected<speakers::FeatureMatrix, SpeakerOnnxError> PyannoteSegmenter::infer_window(
    std::span<const float> window) const {
  if (window.size() != kPyannoteWindowSamples) {
    return std::unexpected(
        SpeakerOnnxError::invalid_audio_window(kPyannoteWindowSamples, window.size()));
  }
  std::vector<float> samples(window.begin(), window.end());
  constexpr std::array<std::int64_t, 3> kShape = {1, 1, kPyannoteWindowSamples};
  auto output = runner_.run(samples, kShape);
  if (!output) return std::unexpected(output.error());

  constexpr std::array<std::int64_t, 3> kExpected = {1, kPyannoteFrames, kPyannoteClasses};
  if (!std::ranges::equal(output->shape, kExpected)) {
    return std::unexpected(SpeakerOnnxError::model_io_mismatch(
        "output shape " + format_shape(output->shape) + " is not [1, " +
        std::to_string(kPyannoteFrames) + ", " + std::to_string(kPyannoteClasses) + "]"));
  }
  auto matrix = speakers::FeatureMatrix::from_row_major(
      kPyannoteFrames, kPyannoteClasses,
      std::vector<float>(output->values.begin(), output->values.end()));
  if (!matrix) {
    return std::unexpected(SpeakerOnnxError::model_io_mismatch(matrix.error().to_string()));
  }
  return std::move(*matrix);
}

}  // namespace quillfen::onnx
