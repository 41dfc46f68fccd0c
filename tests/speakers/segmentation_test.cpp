#include "speakers/segmentation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quillfen::speakers {
namespace {

constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN();

// A frames x 7 score matrix whose frame t has its top score at classes[t].
FeatureMatrix scores_with_classes(const std::vector<std::size_t>& classes) {
  std::vector<float> values(classes.size() * 7, -5.0f);
  for (std::size_t t = 0; t < classes.size(); ++t) values[t * 7 + classes[t]] = -0.1f;
  return *FeatureMatrix::from_row_major(classes.size(), 7, std::move(values));
}

std::vector<std::size_t> repeated(std::initializer_list<std::pair<std::size_t, std::size_t>> runs) {
  std::vector<std::size_t> out;
  for (auto [cls, n] : runs) out.insert(out.end(), n, cls);
  return out;
}

TEST(Segmentation, MostLikelyClassTakesTheFirstLargestAndIgnoresNaN) {
  EXPECT_EQ(most_likely_class(std::vector<float>{-1, -0.5f, -0.5f, -2, -3, -4, -5}), 1u);
  EXPECT_EQ(most_likely_class(std::vector<float>{kNaNf, 3, 4, 5, 6, 7, 8}), 0u);
  EXPECT_EQ(most_likely_class(std::vector<float>{1, kNaNf, 0, 2, kNaNf, 1, 2}), 3u);
  EXPECT_EQ(most_likely_class(std::vector<float>{}), 0u);
  EXPECT_EQ(most_likely_class(std::vector<double>{0.0, -0.0, 0.25, 0.25}), 2u);
  EXPECT_EQ(most_likely_class(std::vector<double>{std::nan(""), 1.0}), 0u);
}

TEST(Segmentation, WindowStartsCoverTheAudioAndEndAligned) {
  using V = std::vector<std::uint64_t>;
  EXPECT_EQ(window_starts(100, 160000, 32000), V{0});
  EXPECT_EQ(window_starts(0, 160000, 32000), V{0});
  EXPECT_EQ(window_starts(160000, 160000, 32000), V{0});
  EXPECT_EQ(window_starts(200000, 160000, 32000), (V{0, 32000, 40000}));
  EXPECT_EQ(window_starts(224000, 160000, 32000), (V{0, 32000, 64000}));
  // Offsets that would overflow end the walk instead of wrapping around.
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(window_starts(max, max - 10, max / 2 + 1), (V{0, 10}));
  EXPECT_EQ(window_starts(50, 10, 0), (V{0, 40}));
}

TEST(Segmentation, WindowStatsCountSpeechSlotsAndOverlap) {
  auto silent = compute_speaker_window_stats(scores_with_classes(repeated({{0, 589}})));
  ASSERT_TRUE(silent.has_value());
  EXPECT_EQ(*silent, (SpeakerWindowStats{0, 0, 0}));

  // 100 speech frames: 85, 10, 5 over slots 1, 2, 3 (10 reaches 0.1, 5 does not).
  auto split = compute_speaker_window_stats(
      scores_with_classes(repeated({{0, 40}, {1, 85}, {2, 10}, {3, 5}})));
  ASSERT_TRUE(split.has_value());
  EXPECT_EQ(*split, (SpeakerWindowStats{100, 2, 0}));

  // Overlap frames count as speech but towards no slot.
  auto overlap =
      compute_speaker_window_stats(scores_with_classes(repeated({{3, 9}, {4, 30}, {6, 61}})));
  ASSERT_TRUE(overlap.has_value());
  EXPECT_EQ(*overlap, (SpeakerWindowStats{100, 0, 91}));

  // Equal top scores go to the lower class: silence here.
  std::vector<float> tied(7 * 3, -1.0f);
  auto tie = compute_speaker_window_stats(*FeatureMatrix::from_row_major(3, 7, tied));
  ASSERT_TRUE(tie.has_value());
  EXPECT_EQ(*tie, (SpeakerWindowStats{0, 0, 0}));
}

TEST(Segmentation, WindowStatsRejectOtherClassCounts) {
  auto r = compute_speaker_window_stats(*FeatureMatrix::from_row_major(2, 3, {1, 2, 3, 4, 5, 6}));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), SpeakerFeatureError::shape_mismatch(2, 7, 6));
  EXPECT_EQ(r.error().to_string(), "row-major matrix length mismatch: frames=2 bins=7 len=6");
}

TEST(Segmentation, AverageDividesByCountsInDoublePrecision) {
  const std::vector<double> sums = {3.0, 6.0, -1.5, 4.5, 0.1, 1e40};
  const std::vector<std::uint64_t> counts = {3, 0};  // frame 2 lies beyond counts
  auto m = average_accumulated_log_probs(sums, counts, 3, 2);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->frames(), 3u);
  EXPECT_EQ(m->bins(), 2u);
  EXPECT_EQ(m->values(), (std::vector<float>{1.0f, 2.0f, -1.5f, 4.5f, 0.1f,
                                             std::numeric_limits<float>::infinity()}));

  // 1/3 rounded once, from the double quotient.
  auto third =
      average_accumulated_log_probs(std::vector<double>{1.0}, std::vector<std::uint64_t>{3}, 1, 1);
  EXPECT_EQ(third->values()[0], static_cast<float>(1.0 / 3.0));

  auto empty = average_accumulated_log_probs({}, {}, std::numeric_limits<std::uint64_t>::max(), 0);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->values().empty());
}

TEST(Segmentation, AverageRejectsBadShapes) {
  auto mismatch = average_accumulated_log_probs(std::vector<double>(13), {}, 2, 7);
  ASSERT_FALSE(mismatch.has_value());
  EXPECT_EQ(mismatch.error().to_string(),
            "row-major matrix length mismatch: frames=2 bins=7 len=13");

  const std::uint64_t big = std::uint64_t{1} << 62;
  auto overflow = average_accumulated_log_probs({}, {}, big, 7);
  ASSERT_FALSE(overflow.has_value());
  EXPECT_EQ(overflow.error(), SpeakerFeatureError::shape_overflow(big, 7));
  EXPECT_EQ(overflow.error().to_string(),
            "row-major matrix shape overflow: frames=4611686018427387904 bins=7");
}

TEST(Segmentation, OverlapFractionIsOverlapOverSpeechFrames) {
  EXPECT_EQ(compute_overlap_fraction(*FeatureMatrix::from_row_major(0, 7, {})), 0.0);
  EXPECT_EQ(compute_overlap_fraction(scores_with_classes(repeated({{0, 10}}))), 0.0);
  EXPECT_EQ(compute_overlap_fraction(scores_with_classes(repeated({{0, 5}, {1, 6}, {5, 2}}))),
            0.25);
  // Fewer than 5 columns can hold no overlap class.
  EXPECT_EQ(
      compute_overlap_fraction(*FeatureMatrix::from_row_major(2, 4, {0, 0, 0, 1, 0, 1, 0, 0})),
      0.0);
}

TEST(Segmentation, EvidenceUsesThreeInclusiveThresholds) {
  using S = SpeakerWindowStats;
  // No speech window: none, whatever the overlap fraction.
  const std::vector<S> silent = {{0, 0, 0}, {0, 0, 0}};
  EXPECT_EQ(decide_speaker_evidence(silent, 0.5),
            (SpeakerEvidenceDecision{0.0, 0.0, SpeakerEvidence::None}));
  EXPECT_EQ(decide_speaker_evidence({}, 0.5).speaker_evidence, SpeakerEvidence::None);

  // Mean overlap share exactly 0.05 (5/100 in the one speech window) decides multi.
  const std::vector<S> share = {{100, 1, 5}, {0, 0, 0}};
  EXPECT_EQ(decide_speaker_evidence(share, 0.049),
            (SpeakerEvidenceDecision{0.0, 0.05, SpeakerEvidence::Multi}));

  // All three below the threshold: single.
  const std::vector<S> calm = {{100, 1, 4}, {200, 1, 2}};
  const auto single = decide_speaker_evidence(calm, 0.049);
  EXPECT_EQ(single.speaker_evidence, SpeakerEvidence::Single);
  EXPECT_EQ(single.multi_window_fraction, 0.0);
  EXPECT_EQ(single.mean_window_overlap_share, (0.04 + 0.01) / 2);

  // One of twenty speech windows with two active slots: fraction 0.05, multi.
  std::vector<S> windows(20, S{50, 1, 0});
  windows[7].active_slot_count = 2;
  EXPECT_EQ(decide_speaker_evidence(windows, 0.0).multi_window_fraction, 0.05);
  EXPECT_EQ(decide_speaker_evidence(windows, 0.0).speaker_evidence, SpeakerEvidence::Multi);

  // The overlap fraction alone, at the threshold.
  EXPECT_EQ(decide_speaker_evidence(calm, 0.05).speaker_evidence, SpeakerEvidence::Multi);

  EXPECT_EQ(speaker_evidence_name(SpeakerEvidence::None), "none");
  EXPECT_EQ(speaker_evidence_name(SpeakerEvidence::Single), "single");
  EXPECT_EQ(speaker_evidence_name(SpeakerEvidence::Multi), "multi");
}

}  // namespace
}  // namespace quillfen::speakers
