// Segmentation window statistics: turns the segmentation model's per-frame class scores
// into speech, speaker-slot and overlap counts per window, merges overlapping windows, and
// decides whether a recording holds no speech, one speaker or several.
//
// A score row holds 7 log-probabilities: class 0 silence, 1 to 3 one speaker in local slot
// 1 to 3, 4 to 6 two overlapping speakers. Score matrices are FeatureMatrix values with one
// row per frame and one column per class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "speakers/feature_matrix.h"
#include "speakers/model_contract.h"

namespace quillfen::speakers {

// Share of speech frames a slot needs to count as active; evidence threshold for multi.
inline constexpr double kActiveSlotShare = 0.1;
inline constexpr double kMultiSpeakerThreshold = 0.05;

struct SpeakerWindowStats {
  std::uint64_t speech_frames = 0;      // frames whose class is not 0
  std::uint64_t active_slot_count = 0;  // classes 1 to 3 holding >= 0.1 of the speech frames
  std::uint64_t overlap_frames = 0;     // frames of class 4, 5 or 6

  friend bool operator==(const SpeakerWindowStats&, const SpeakerWindowStats&) = default;
};

enum class SpeakerEvidence : std::uint8_t { None, Single, Multi };

// "none", "single" or "multi".
std::string_view speaker_evidence_name(SpeakerEvidence evidence);

struct SpeakerEvidenceDecision {
  double multi_window_fraction = 0.0;
  double mean_window_overlap_share = 0.0;
  SpeakerEvidence speaker_evidence = SpeakerEvidence::None;

  friend bool operator==(const SpeakerEvidenceDecision&, const SpeakerEvidenceDecision&) = default;
};

// Index of the first largest score of row: a later score replaces the best only when
// strictly greater, so ties go to the lowest index and a NaN never wins (a NaN at index 0
// keeps index 0). An empty row gives 0.
std::size_t most_likely_class(std::span<const float> row);
std::size_t most_likely_class(std::span<const double> row);

// Window start offsets: every stride_samples while the window fits in total_samples, then
// one window aligned to the end of the audio unless the last start already is; audio
// shorter than a window gives the single start 0. A stride of 0 gives no second offset.
std::vector<std::uint64_t> window_starts(std::uint64_t total_samples, std::uint64_t window_samples,
                                         std::uint64_t stride_samples);

// Counts of one window's scores (frames x 7). Fails with ShapeMismatch (frames, bins 7,
// len = value count) when the matrix does not have 7 columns.
std::expected<SpeakerWindowStats, SpeakerFeatureError> compute_speaker_window_stats(
    const FeatureMatrix& scores);

// The frames x classes matrix of sums[f * classes + c] / counts[f], in double precision
// rounded to float; a frame outside counts or with count 0 divides by 1. Fails with
// ShapeOverflow when frames * classes overflows, else with ShapeMismatch when sums does not
// hold frames * classes values.
std::expected<FeatureMatrix, SpeakerFeatureError> average_accumulated_log_probs(
    std::span<const double> sums, std::span<const std::uint64_t> counts, std::uint64_t frames,
    std::uint64_t classes);

// Overlap frames / speech frames over the whole matrix (most likely class per frame), or 0
// when there is no speech frame.
double compute_overlap_fraction(const FeatureMatrix& scores);

// Over the windows with speech: the fraction with two or more active slots and the mean
// share of overlap frames; multi when either, or overlap_fraction, reaches 0.05, else
// single; none when no window has speech.
SpeakerEvidenceDecision decide_speaker_evidence(std::span<const SpeakerWindowStats> stats,
                                                double overlap_fraction);

}  // namespace quillfen::speakers
