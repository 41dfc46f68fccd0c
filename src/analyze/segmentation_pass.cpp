#include "analyze/segmentation_pass.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "analyze/error_mapping.h"
#include "analyze/request.h"
#include "speakers/decimal_text.h"
#include "speakers/numeric.h"

namespace quillfen::analyze {
namespace {

using speakers::kFrameStepSamples;
using speakers::kModelSampleRateHz;
using speakers::kSegmentationClasses;
using speakers::kSegmentationWindowFrames;
using speakers::kSegmentationWindowSamples;

// Per grid frame of a recording: the 64-bit sums of the scores of the windows covering it and
// the number of those windows.
class FrameGridSums {
 public:
  explicit FrameGridSums(std::uint64_t total_frames)
      : total_frames_(total_frames),
        sums_(total_frames * kSegmentationClasses, 0.0),
        counts_(total_frames, 0) {}

  // Adds the 589 x 7 scores of a window whose first frame is grid frame first. With the
  // rounding of the first grid frame and of total_frames no window reaches past the last grid
  // frame; the bound is kept so that the sums are never overrun.
  void add_window(std::uint64_t first, const speakers::FeatureMatrix& scores) {
    const std::vector<float>& values = scores.values();
    for (std::uint64_t f = 0; f < kSegmentationWindowFrames; ++f) {
      const std::uint64_t row = first + f;
      if (row >= total_frames_) break;
      double* sum_row = sums_.data() + row * kSegmentationClasses;
      const float* score_row = values.data() + f * kSegmentationClasses;
      for (std::uint64_t c = 0; c < kSegmentationClasses; ++c) {
        sum_row[c] += static_cast<double>(score_row[c]);
      }
      counts_[row] += 1;
    }
  }

  // Each frame's sums divided by its count, as a total_frames x 7 matrix.
  [[nodiscard]] std::expected<speakers::FeatureMatrix, speakers::SpeakerFeatureError> averages()
      const {
    return speakers::average_accumulated_log_probs(sums_, counts_, total_frames_,
                                                   kSegmentationClasses);
  }

 private:
  std::uint64_t total_frames_;
  std::vector<double> sums_;
  std::vector<std::uint64_t> counts_;
};

std::expected<void, SegmentationPassError> check_pass_inputs(std::span<const float> samples,
                                                             std::uint32_t sample_rate_hz,
                                                             std::uint32_t stride_s) {
  if (sample_rate_hz != kModelSampleRateHz) {
    return std::unexpected(
        SegmentationPassError::unsupported_sample_rate(kModelSampleRateHz, sample_rate_hz));
  }
  if (stride_s == 0) return std::unexpected(SegmentationPassError::non_positive_stride(0));
  if (const std::size_t bad = speakers::first_non_finite(samples); bad != samples.size()) {
    return std::unexpected(SegmentationPassError::non_finite_audio_sample(bad));
  }
  return {};
}

// The audio the windows are cut from: samples themselves, or, for a recording shorter than
// one window, padded_copy filled with the samples and zeros up to 160000 samples.
std::span<const float> windowed_audio(std::span<const float> samples,
                                      std::vector<float>& padded_copy) {
  if (samples.size() >= kSegmentationWindowSamples) return samples;
  padded_copy.assign(kSegmentationWindowSamples, 0.0f);
  std::copy(samples.begin(), samples.end(), padded_copy.begin());
  return padded_copy;
}

// The scores of window number w, starting at sample window_start, checked to be 589 x 7 and
// to hold no NaN or +infinity.
std::expected<speakers::FeatureMatrix, SegmentationPassError> window_scores(
    const SegmentWindow& segment_window, std::span<const float> window, std::uint64_t w,
    std::uint64_t window_start) {
  auto scores = segment_window(window);
  if (!scores) {
    return std::unexpected(SegmentationPassError::window_inference(w, std::move(scores.error())));
  }
  if (scores->frames() != kSegmentationWindowFrames || scores->bins() != kSegmentationClasses) {
    return std::unexpected(SegmentationPassError::log_prob_shape_mismatch(
        w, kSegmentationWindowFrames, kSegmentationClasses, scores->frames(), scores->bins(),
        scores->values().size()));
  }
  // A log-probability may be -infinity (a class the model rules out), never NaN or +infinity.
  for (const float score : scores->values()) {
    if (std::isnan(score) || score == std::numeric_limits<float>::infinity()) {
      return std::unexpected(SegmentationPassError::scores_not_a_number(w, window_start));
    }
  }
  return std::move(*scores);
}

}  // namespace

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
    case Kind::ScoresNotANumber:
      return "the segmentation scores of window " + std::to_string(window) + " (at " +
             speakers::shortest_decimal(static_cast<double>(window_start) /
                                        static_cast<double>(kModelSampleRateHz)) +
             " s) hold NaN or +infinity";
  }
  return {};
}

std::uint64_t segmentation_total_frames(std::uint64_t padded_samples) {
  return speakers::saturating_u64(
      std::ceil(static_cast<double>(padded_samples) / kFrameStepSamples));
}

std::uint64_t segmentation_first_grid_frame(std::uint64_t start) {
  // nearbyint rounds in the current rounding mode, which is round-to-nearest-even.
  return speakers::saturating_u64(std::nearbyint(static_cast<double>(start) / kFrameStepSamples));
}

std::expected<SegmentationPassOutput, SegmentationPassError> segment_recording(
    std::span<const float> samples, std::uint32_t sample_rate_hz, std::uint32_t stride_s,
    const SegmentWindow& segment_window) {
  if (auto checked = check_pass_inputs(samples, sample_rate_hz, stride_s); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  // Only a recording shorter than one window is copied, into a zero-padded window.
  std::vector<float> padded_copy;
  const std::span<const float> audio = windowed_audio(samples, padded_copy);
  const std::vector<std::uint64_t> starts =
      speakers::window_starts(audio.size(), kSegmentationWindowSamples,
                              static_cast<std::uint64_t>(stride_s) * kModelSampleRateHz);

  const std::uint64_t total_frames = segmentation_total_frames(audio.size());
  if (total_frames > std::numeric_limits<std::uint64_t>::max() / kSegmentationClasses) {
    return std::unexpected(
        SegmentationPassError::frame_matrix_overflow(total_frames, kSegmentationClasses));
  }
  FrameGridSums grid(total_frames);
  SegmentationPassOutput output;
  output.window_stats.reserve(starts.size());
  for (std::size_t w = 0; w < starts.size(); ++w) {
    auto scores = window_scores(segment_window,
                                audio.subspan(starts[w], kSegmentationWindowSamples), w, starts[w]);
    if (!scores) return std::unexpected(std::move(scores.error()));
    // The shape was checked, so the statistics cannot fail.
    const auto stats = speakers::compute_speaker_window_stats(*scores);
    output.window_stats.push_back(stats.value_or(speakers::SpeakerWindowStats{}));
    grid.add_window(segmentation_first_grid_frame(starts[w]), *scores);
  }

  auto averaged = grid.averages();
  if (!averaged) {
    // Unreachable: the sums were sized from the checked dimensions.
    return std::unexpected(
        SegmentationPassError::frame_matrix_overflow(total_frames, kSegmentationClasses));
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
                                         const std::string& full_audio_path,
                                         std::span<const float> full_audio) {
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
    case Kind::ScoresNotANumber:
      return derived_value_not_finite(full_audio_path, full_audio, error.to_string());
    case Kind::NonPositiveStride:
    case Kind::FrameMatrixOverflow:
      break;
  }
  return AnalyzeError::internal_error(error.to_string());
}

}  // namespace quillfen::analyze
