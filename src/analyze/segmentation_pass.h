// The segmentation pass: slides the segmentation model over a whole recording in 10-second
// windows, collects each window's speech statistics, and averages the overlapping windows'
// frame scores onto one frame grid for the recording.
//
// Grid frame k of a recording starts at sample k * 271.6468590831918 (160000 / 589); every
// window covers 589 consecutive grid frames, the first being round(start / 271.6468590831918)
// with ties to even.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "analyze/analyze_error.h"
#include "speakers/feature_matrix.h"
#include "speakers/model_contract.h"
#include "speakers/segmentation.h"
#include "speakers_onnx/error.h"
#include "speakers_onnx/pyannote.h"

namespace quillfen::analyze {

// Error of the segmentation pass. Each kind sets only the fields its display text names.
struct [[nodiscard]] SegmentationPassError {
  enum class Kind : std::uint8_t {
    UnsupportedSampleRate,  // expected, actual
    NonPositiveStride,      // stride_s
    NonFiniteAudioSample,   // index
    FrameMatrixOverflow,    // frames, classes
    LogProbShapeMismatch,   // window, expected_frames, expected_classes, frames, classes, len
    WindowInference,        // window, model_error
    ScoresNotANumber,       // window, window_start: a score is NaN or +infinity
  };
  using Error = SegmentationPassError;

  Kind kind = Kind::UnsupportedSampleRate;
  std::uint32_t expected = 0, actual = 0;
  std::uint32_t stride_s = 0;
  std::uint64_t index = 0;
  std::uint64_t window = 0;
  std::uint64_t window_start = 0;  // first sample of the window
  std::uint64_t expected_frames = 0, expected_classes = 0, frames = 0, classes = 0, len = 0;
  onnx::SpeakerOnnxError model_error{};

  static Error unsupported_sample_rate(std::uint32_t expected, std::uint32_t actual) {
    return {.kind = Kind::UnsupportedSampleRate, .expected = expected, .actual = actual};
  }
  static Error non_positive_stride(std::uint32_t stride_s) {
    return {.kind = Kind::NonPositiveStride, .stride_s = stride_s};
  }
  static Error non_finite_audio_sample(std::uint64_t index) {
    return {.kind = Kind::NonFiniteAudioSample, .index = index};
  }
  static Error frame_matrix_overflow(std::uint64_t frames, std::uint64_t classes) {
    return {.kind = Kind::FrameMatrixOverflow, .frames = frames, .classes = classes};
  }
  static Error log_prob_shape_mismatch(std::uint64_t window, std::uint64_t expected_frames,
                                       std::uint64_t expected_classes, std::uint64_t frames,
                                       std::uint64_t classes, std::uint64_t len) {
    return {.kind = Kind::LogProbShapeMismatch,
            .window = window,
            .expected_frames = expected_frames,
            .expected_classes = expected_classes,
            .frames = frames,
            .classes = classes,
            .len = len};
  }
  static Error window_inference(std::uint64_t window, onnx::SpeakerOnnxError model_error) {
    return {.kind = Kind::WindowInference, .window = window, .model_error = std::move(model_error)};
  }

  static Error scores_not_a_number(std::uint64_t window, std::uint64_t window_start) {
    return {.kind = Kind::ScoresNotANumber, .window = window, .window_start = window_start};
  }
  // Display text, for example "pyannote window 3 inference failed: speaker ONNX Runtime
  // error: ...".
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const Error&, const Error&) = default;
};

struct SegmentationPassOutput {
  // total_frames x 7: per grid frame, the mean of the scores of the windows covering it
  // (all 0 for a frame no window covers).
  speakers::FeatureMatrix frame_log_probs;
  std::vector<speakers::SpeakerWindowStats> window_stats;  // one per window, in window order
  double overlap_fraction = 0.0;
};

// Scores of one window of exactly 160000 samples: 589 frames x 7 classes.
using SegmentWindow = std::function<std::expected<speakers::FeatureMatrix, onnx::SpeakerOnnxError>(
    std::span<const float> window)>;

// Number of grid frames of padded_samples samples: ceil(padded_samples / 271.6468590831918)
// in 64-bit floats (160000 -> 589, 200000 -> 737, 480000 -> 1768).
[[nodiscard]] std::uint64_t segmentation_total_frames(std::uint64_t padded_samples);

// First grid frame of the window starting at sample start (32000 -> 118, 40000 -> 147).
[[nodiscard]] std::uint64_t segmentation_first_grid_frame(std::uint64_t start);

// Checks the rate (16000 only), the stride (at least 1 s) and every sample (finite), pads a
// recording shorter than one window with zeros to 160000 samples (longer recordings are
// read in place, never copied), runs segment_window on every window of window_starts
// (stride_s * 16000 apart, plus one window aligned to the end), and averages the scores
// (summed in 64-bit floats, divided once) onto the recording's frame grid.
[[nodiscard]] std::expected<SegmentationPassOutput, SegmentationPassError> segment_recording(
    std::span<const float> samples, std::uint32_t sample_rate_hz, std::uint32_t stride_s,
    const SegmentWindow& segment_window);

// The same pass run by the segmentation model.
[[nodiscard]] std::expected<SegmentationPassOutput, SegmentationPassError> segment_recording(
    std::span<const float> samples, std::uint32_t sample_rate_hz, std::uint32_t stride_s,
    const onnx::PyannoteSegmenter& segmenter);

// The run's error for a failed pass: the rate and non-finite kinds keep their meaning (a
// non-finite sample names full_audio_path), a wrong score shape is a model-io-mismatch of the
// segmentation model, a window inference failure is mapped as a failed
// "pyannote segmentation" run, scores that are NaN or +infinity are audio-invalid naming
// full_audio_path and the largest sample magnitude of full_audio (scores of audio too loud for
// the model), the stride and overflow kinds are internal errors.
[[nodiscard]] AnalyzeError map_segmentation_pass_error(const SegmentationPassError& error,
                                                       const std::string& full_audio_path,
                                                       std::span<const float> full_audio);

}  // namespace quillfen::analyze
