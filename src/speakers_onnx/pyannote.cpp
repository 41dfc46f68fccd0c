#include "speakers_onnx/pyannote.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace quillfen::onnx {

namespace {

constexpr std::array<DimSpec, 3> kInputDims = {DimSpec::any(), DimSpec::any(), DimSpec::any()};
constexpr std::array<DimSpec, 3> kOutputDims = {DimSpec::any(), DimSpec::any(),
                                                DimSpec::exactly(speakers::kSegmentationClasses)};
constexpr ModelInterface kInterface = {"input_values", kInputDims, "logits", kOutputDims};

}  // namespace

std::expected<PyannoteSegmenter, SpeakerOnnxError> PyannoteSegmenter::open(
    const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan) {
  return open_as<PyannoteSegmenter>(model_path, plan, kInterface);
}

std::expected<speakers::FeatureMatrix, SpeakerOnnxError> PyannoteSegmenter::infer_window(
    std::span<const float> window) const {
  if (window.size() != speakers::kSegmentationWindowSamples) {
    return std::unexpected(SpeakerOnnxError::invalid_audio_window(
        speakers::kSegmentationWindowSamples, window.size()));
  }
  constexpr std::array<std::int64_t, 3> kShape = {1, 1, speakers::kSegmentationWindowSamples};
  auto output = runner_.run(window, kShape);
  if (!output) return std::unexpected(output.error());

  constexpr std::array<std::int64_t, 3> kExpected = {1, speakers::kSegmentationWindowFrames,
                                                     speakers::kSegmentationClasses};
  if (!std::ranges::equal(output->shape, kExpected)) {
    return std::unexpected(SpeakerOnnxError::model_io_mismatch(
        "output shape " + format_shape(output->shape) + " is not [1, " +
        std::to_string(speakers::kSegmentationWindowFrames) + ", " +
        std::to_string(speakers::kSegmentationClasses) + "]"));
  }
  auto matrix = speakers::FeatureMatrix::from_row_major(
      speakers::kSegmentationWindowFrames, speakers::kSegmentationClasses,
      std::vector<float>(output->values.begin(), output->values.end()));
  if (!matrix) {
    return std::unexpected(SpeakerOnnxError::model_io_mismatch(matrix.error().to_string()));
  }
  return std::move(*matrix);
}

}  // namespace quillfen::onnx
