// Segmentation model runner: one 10-second window of 16 kHz mono samples in, 589 frames of 7
// class scores (log-probabilities: silence, one speaker in slot 1-3, two overlapping speakers)
// out.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>

#include "speakers/feature_matrix.h"
#include "speakers_onnx/error.h"
#include "speakers_onnx/runner.h"
#include "speakers_onnx/session.h"

namespace quillfen::onnx {

inline constexpr std::size_t kPyannoteWindowSamples = 160000;  // 10 s at 16000 Hz
inline constexpr std::size_t kPyannoteFrames = 589;
inline constexpr std::size_t kPyannoteClasses = 7;

// Model contract: input "input_values" float32 [any, any, any] (batch, channel, samples),
// output "logits" float32 [any, any, 7]. Movable, not copyable.
class PyannoteSegmenter {
 public:
  static std::expected<PyannoteSegmenter, SpeakerOnnxError> open(
      const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan);

  // Runs the model on exactly 160000 samples as a [1, 1, 160000] tensor and returns its
  // [1, 589, 7] output as a 589 x 7 matrix (row t = the scores of model frame t). Any other
  // window length is InvalidAudioWindow before the model runs.
  std::expected<speakers::FeatureMatrix, SpeakerOnnxError> infer_window(
      std::span<const float> window) const;

  const std::string& input_name() const { return runner_.input_name(); }
  const std::string& output_name() const { return runner_.output_name(); }

  // Diagnostics: accumulate the time spent inside the runtime's Run call into *sink.
  void time_runs_into(std::chrono::nanoseconds* sink) { runner_.time_runs_into(sink); }

 private:
  explicit PyannoteSegmenter(SpeakerModelRunner runner) : runner_(std::move(runner)) {}
  SpeakerModelRunner runner_;
};

}  // namespace quillfen::onnx
