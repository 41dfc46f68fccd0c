#include "analyze/segmentation_pass.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "analyze/error_mapping.h"

namespace quillfen::analyze {
namespace {

SegmentationPassError with_kind(SegmentationPassError::Kind kind) {
  SegmentationPassError e;
  e.kind = kind;
  return e;
}

// Index of the first sample whose exponent bits are all ones (NaN or infinity), or the size.
std::size_t first_non_finite(std::span<const float> samples) {
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if ((std::bit_cast<std::uint32_t>(samples[i]) & 0x7F800000u) == 0x7F800000u) return i;
  }
  return samples.size();
}

// A non-negative 64-bit float as an unsigned count: NaN and negatives give 0, values beyond
// the unsigned range give its largest value.
std::uint64_t saturating_count(double value) {
  if (!(value > 0.0)) return 0;
  // 2^64 is exactly representable; anything at or above it saturates.
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

}  // namespace

SegmentationPassError SegmentationPassError::unsupported_sample_rate(std::uint32_t expected,
                                                                     std::uint32_t actual) {
  SegmentationPassError e = with_kind(Kind::UnsupportedSampleRate);
  e.expected = expected;
  e.actual = actual;
  return e;
}

SegmentationPassError SegmentationPassError::non_positive_stride(std::uint32_t stride_s) {
  SegmentationPassError e = with_kind(Kind::NonPositiveStride);
  e.stride_s = stride_s;
  return e;
}

SegmentationPassError SegmentationPassError::non_finite_audio_sample(std::uint64_t index) {
  SegmentationPassError e = with_kind(Kind::NonFiniteAudioSample);
  e.index = index;
  return e;
}

SegmentationPassError SegmentationPassError::frame_matrix_overflow(std::uint64_t frames,
                                                                   std::uint64_t classes) {
  SegmentationPassError e = with_kind(Kind::FrameMatrixOverflow);
  e.frames = frames;
  e.classes = classes;
  return e;
}

SegmentationPassError SegmentationPassError::log_prob_shape_mismatch(
    std::uint64_t window, std::uint64_t expected_frames, std::uint64_t expected_classes,
    std::uint64_t frames, std::uint64_t classes, std::uint64_t len) {
  SegmentationPassError e = with_kind(Kind::LogProbShapeMismatch);
  e.window = window;
  e.expected_frames = expected_frames;
  e.expected_classes = expected_classes;
  e.frames = frames;
  e.classes = classes;
  e.len = len;
  return e;
}

SegmentationPassError SegmentationPassError::window_inference(std::uint64_t window,
                                                              onnx::SpeakerOnnxError model_error) {
  SegmentationPassError e = with_kind(Kind::WindowInference);
  e.window = window;
  e.model_error = std::move(model_error);
  return e;
}

std::string SegmentationPassError::to_string() const {
  switch (kind) {
    case Kind::UnsupportedSampleRate:
      return "pyannote segmentation requires sample rate " + std::to_string(expected) + ", got " +
             std::to_string(actual);
    case Kind::NonPositiveStride:
      return "pyannote segmentation stride must be positive, got " + std::to_string(stride_s);
    case Kind::NonFiniteAudioSample:
      return "audio sample at index " + std::to_string(index) + " is not finite";
    case Kind::FrameMatrixOverflow:
      return "pyannote segmentation matrix shape overflow: frames=" + std::to_string(frames) +
             " classes=" + std::to_string(classes);
    case Kind::LogProbShapeMismatch:
      return "pyannote window " + std::to_string(window) +
             " log-prob shape mismatch: expected frames=" + std::to_string(expected_frames) +
             " classes=" + std::to_string(expected_classes) +
             ", got frames=" + std::to_string(frames) + " classes=" + std::to_string(classes) +
             " len=" + std::to_string(len);
    case Kind::WindowInference:
      return "pyannote window " + std::to_string(window) +
             " inference failed: " + model_error.to_string();
  }
  return {};
}

std::uint64_t segmentation_total_frames(std::uint64_t padded_samples) {
  return saturating_count(
      std::ceil(static_cast<double>(padded_samples) / kSegmentationFrameStepSamples));
}

std::uint64_t segmentation_first_grid_frame(std::uint64_t start) {
  // nearbyint rounds in the current rounding mode, which is round-to-nearest-even.
  return saturating_count(
      std::nearbyint(static_cast<double>(start) / kSegmentationFrameStepSamples));
}

std::expected<SegmentationPassOutput, SegmentationPassError> segment_recording(
    std::span<const float> samples, std::uint32_t sample_rate_hz, std::uint32_t stride_s,
    const SegmentWindow& segment_window) {
  if (sample_rate_hz != kSegmentationSampleRateHz) {
    return std::unexpected(
        SegmentationPassError::unsupported_sample_rate(kSegmentationSampleRateHz, sample_rate_hz));
  }
  if (stride_s == 0) return std::unexpected(SegmentationPassError::non_positive_stride(0));
  if (const std::size_t bad = first_non_finite(samples); bad != samples.size()) {
    return std::unexpected(SegmentationPassError::non_finite_audio_sample(bad));
  }

  // Only a recording shorter than one window is copied, into a zero-padded window.
  std::vector<float> padded_copy;
  std::span<const float> audio = samples;
  if (audio.size() < kSegmentationWindowSamples) {
    padded_copy.assign(kSegmentationWindowSamples, 0.0f);
    std::copy(samples.begin(), samples.end(), padded_copy.begin());
    audio = padded_copy;
  }

  const std::uint64_t stride_samples =
      static_cast<std::uint64_t>(stride_s) * kSegmentationSampleRateHz;
  const std::vector<std::uint64_t> starts =
      speakers::window_starts(audio.size(), kSegmentationWindowSamples, stride_samples);

  const std::uint64_t total_frames = segmentation_total_frames(audio.size());
  if (total_frames > std::numeric_limits<std::uint64_t>::max() / kSegmentationClassCount) {
    return std::unexpected(
        SegmentationPassError::frame_matrix_overflow(total_frames, kSegmentationClassCount));
  }

  std::vector<double> sums(total_frames * kSegmentationClassCount, 0.0);
  std::vector<std::uint64_t> counts(total_frames, 0);
  SegmentationPassOutput output;
  output.window_stats.reserve(starts.size());

  for (std::size_t w = 0; w < starts.size(); ++w) {
    const std::uint64_t start = starts[w];
    auto scores = segment_window(audio.subspan(start, kSegmentationWindowSamples));
    if (!scores) {
      return std::unexpected(SegmentationPassError::window_inference(w, std::move(scores.error())));
    }
    if (scores->frames() != kSegmentationWindowFrames ||
        scores->bins() != kSegmentationClassCount) {
      return std::unexpected(SegmentationPassError::log_prob_shape_mismatch(
          w, kSegmentationWindowFrames, kSegmentationClassCount, scores->frames(), scores->bins(),
          scores->values().size()));
    }
    // The shape was checked just above, so the statistics cannot fail.
    const auto stats = speakers::compute_speaker_window_stats(*scores);
    output.window_stats.push_back(stats.value_or(speakers::SpeakerWindowStats{}));

    // With the rounding of the first grid frame and of total_frames no window reaches past
    // the last grid frame; the bound is kept so that the accumulator is never overrun.
    const std::uint64_t first = segmentation_first_grid_frame(start);
    const std::vector<float>& values = scores->values();
    for (std::uint64_t f = 0; f < kSegmentationWindowFrames; ++f) {
      const std::uint64_t row = first + f;
      if (row >= total_frames) break;
      double* sum_row = sums.data() + row * kSegmentationClassCount;
      const float* score_row = values.data() + f * kSegmentationClassCount;
      for (std::uint64_t c = 0; c < kSegmentationClassCount; ++c) {
        sum_row[c] += static_cast<double>(score_row[c]);
      }
      counts[row] += 1;
    }
  }

  auto averaged =
      speakers::average_accumulated_log_probs(sums, counts, total_frames, kSegmentationClassCount);
  if (!averaged) {
    // Unreachable: the accumulator was sized from the checked dimensions.
    return std::unexpected(
        SegmentationPassError::frame_matrix_overflow(total_frames, kSegmentationClassCount));
  }
  output.frame_log_probs = std::move(*averaged);
  output.overlap_fraction = speakers::compute_overlap_fraction(output.frame_log_probs);
  return output;
}

std::expected<SegmentationPassOutput, SegmentationPassError> segment_recording(
    std::span<const float> samples, std::uint32_t sample_rate_hz, std::uint32_t stride_s,
    const onnx::PyannoteSegmenter& segmenter) {
  return segment_recording(
      samples, sample_rate_hz, stride_s,
      [&segmenter](std::span<const float> window) { return segmenter.infer_window(window); });
}

AnalyzeError map_segmentation_pass_error(const SegmentationPassError& error,
                                         const std::string& full_audio_path) {
  using Kind = SegmentationPassError::Kind;
  switch (error.kind) {
    case Kind::UnsupportedSampleRate:
      return AnalyzeError::unsupported_sample_rate(error.expected, error.actual);
    case Kind::NonFiniteAudioSample:
      return AnalyzeError::audio_non_finite(error.index, full_audio_path);
    case Kind::LogProbShapeMismatch:
      return AnalyzeError::model_io_mismatch(std::string(kPyannoteModelKey), error.to_string());
    case Kind::WindowInference:
      return map_model_run_error(kSegmentationRunLabel, error.model_error);
    case Kind::NonPositiveStride:
    case Kind::FrameMatrixOverflow:
      break;
  }
  return AnalyzeError::internal_error(error.to_string());
}

}  // namespace quillfen::analyze
