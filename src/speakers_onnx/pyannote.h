// Segmentation model runner: one 10-second window of 16 kHz mono samples in, 589 frames of 7
// class scores (log-probabilities: silence, one speaker in slot 1-3, two overlapping speakers)
// out.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>

#include "speakers/feature_matrix.h"
#include "speakers/model_contract.h"
#include "speakers_onnx/error.h"
#include "speakers_onnx/runner.h"
#include "speakers_onnx/session.h"

namespace quillfen::onnx {

// Model contract: input "input_values" float32 [any, any, any] (batch, channel, samples),
// output "logits" float32 [any, any, 7]. Movable, not copyable.
class PyannoteSegmenter : public SpeakerModel {
 public:
  [[nodiscard]] static std::expected<PyannoteSegmenter, SpeakerOnnxError> open(
      const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan);

  // Runs the model on exactly 160000 samples as a [1, 1, 160000] tensor and returns its
  // [1, 589, 7] output as a 589 x 7 matrix (row t = the scores of model frame t). Any other
  // window length is InvalidAudioWindow before the model runs.
  [[nodiscard]] std::expected<speakers::FeatureMatrix, SpeakerOnnxError> infer_window(
      std::span<const float> window) const;

 private:
  friend class SpeakerModel;
  explicit PyannoteSegmenter(SpeakerModelRunner runner) : SpeakerModel(std::move(runner)) {}
};

}  // namespace quillfen::onnx
