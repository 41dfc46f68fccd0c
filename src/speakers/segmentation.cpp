#include "speakers/segmentation.h"

#include <array>
#include <iterator>
#include <utility>

namespace quillfen::speakers {
namespace {

template <typename T>
std::size_t first_largest(std::span<const T> row) {
  std::size_t best = 0;
  for (std::size_t c = 1; c < row.size(); ++c) {
    if (row[c] > row[best]) best = c;
  }
  return best;
}

bool is_speech(std::size_t cls) { return cls != 0; }
bool is_overlap(std::size_t cls) { return cls >= 4 && cls <= 6; }

}  // namespace

std::string_view speaker_evidence_name(SpeakerEvidence evidence) {
  constexpr std::string_view kNames[] = {"none", "single", "multi"};  // by SpeakerEvidence
  const auto index = static_cast<std::size_t>(evidence);
  return index < std::size(kNames) ? kNames[index] : kNames[0];
}

std::size_t most_likely_class(std::span<const float> row) { return first_largest(row); }
std::size_t most_likely_class(std::span<const double> row) { return first_largest(row); }

std::vector<std::uint64_t> window_starts(std::uint64_t total_samples, std::uint64_t window_samples,
                                         std::uint64_t stride_samples) {
  std::vector<std::uint64_t> starts;
  std::uint64_t start = 0;
  while (true) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(start, window_samples, &end) || end > total_samples) break;
    starts.push_back(start);
    if (stride_samples == 0 || __builtin_add_overflow(start, stride_samples, &start)) break;
  }
  const std::uint64_t final_start =
      total_samples >= window_samples ? total_samples - window_samples : 0;
  if (starts.empty() || starts.back() != final_start) starts.push_back(final_start);
  return starts;
}

std::expected<SpeakerWindowStats, SpeakerFeatureError> compute_speaker_window_stats(
    const FeatureMatrix& scores) {
  if (scores.bins() != kSegmentationClasses) {
    return std::unexpected(SpeakerFeatureError::shape_mismatch(
        scores.frames(), kSegmentationClasses, scores.values().size()));
  }
  std::array<std::uint64_t, kSegmentationClasses> counts{};
  for (std::size_t t = 0; t < scores.frames(); ++t) ++counts[most_likely_class(scores.row(t))];

  const std::uint64_t speech =
      counts[1] + counts[2] + counts[3] + counts[4] + counts[5] + counts[6];
  if (speech == 0) return SpeakerWindowStats{};
  std::uint64_t active = 0;
  for (std::size_t slot = 1; slot <= 3; ++slot) {
    if (static_cast<double>(counts[slot]) / static_cast<double>(speech) >= kActiveSlotShare) {
      ++active;
    }
  }
  return SpeakerWindowStats{speech, active, counts[4] + counts[5] + counts[6]};
}

std::expected<FeatureMatrix, SpeakerFeatureError> average_accumulated_log_probs(
    std::span<const double> sums, std::span<const std::uint64_t> counts, std::uint64_t frames,
    std::uint64_t classes) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(frames, classes, &product)) {
    return std::unexpected(SpeakerFeatureError::shape_overflow(frames, classes));
  }
  if (sums.size() != product) {
    return std::unexpected(SpeakerFeatureError::shape_mismatch(frames, classes, sums.size()));
  }
  std::vector<float> values(product);
  if (classes > 0) {
    for (std::uint64_t f = 0; f < frames; ++f) {
      const double divisor =
          f < counts.size() && counts[f] != 0 ? static_cast<double>(counts[f]) : 1.0;
      for (std::uint64_t c = 0; c < classes; ++c) {
        values[f * classes + c] = static_cast<float>(sums[f * classes + c] / divisor);
      }
    }
  }
  return FeatureMatrix::from_row_major(frames, classes, std::move(values));
}

double compute_overlap_fraction(const FeatureMatrix& scores) {
  std::uint64_t speech = 0;
  std::uint64_t overlap = 0;
  for (std::size_t t = 0; t < scores.frames(); ++t) {
    const std::size_t cls = most_likely_class(scores.row(t));
    speech += is_speech(cls) ? 1 : 0;
    overlap += is_overlap(cls) ? 1 : 0;
  }
  if (speech == 0) return 0.0;
  return static_cast<double>(overlap) / static_cast<double>(speech);
}

SpeakerEvidenceDecision decide_speaker_evidence(std::span<const SpeakerWindowStats> stats,
                                                double overlap_fraction) {
  std::uint64_t speech_windows = 0;
  std::uint64_t multi_windows = 0;
  double share_sum = 0.0;
  for (const SpeakerWindowStats& window : stats) {
    if (window.speech_frames == 0) continue;
    ++speech_windows;
    if (window.active_slot_count >= 2) ++multi_windows;
    share_sum +=
        static_cast<double>(window.overlap_frames) / static_cast<double>(window.speech_frames);
  }
  if (speech_windows == 0) return SpeakerEvidenceDecision{};
  const double n = static_cast<double>(speech_windows);
  SpeakerEvidenceDecision decision;
  decision.multi_window_fraction = static_cast<double>(multi_windows) / n;
  decision.mean_window_overlap_share = share_sum / n;
  const bool multi = overlap_fraction >= kMultiSpeakerThreshold ||
                     decision.multi_window_fraction >= kMultiSpeakerThreshold ||
                     decision.mean_window_overlap_share >= kMultiSpeakerThreshold;
  decision.speaker_evidence = multi ? SpeakerEvidence::Multi : SpeakerEvidence::Single;
  return decision;
}

}  // namespace quillfen::speakers
