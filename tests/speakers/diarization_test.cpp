#include "speakers/diarization.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "speakers/diarization_reference.h"

namespace quillfen::speakers::diarization {
namespace {

constexpr std::size_t kClasses = 7;
constexpr float kLow = -1000.0f;  // e^-1000 underflows to 0 in 64-bit floats

// Frame scores where class `top` is certain.
void add_frames(std::vector<float>& scores, std::size_t count, std::size_t top) {
  for (std::size_t t = 0; t < count; ++t) {
    for (std::size_t c = 0; c < kClasses; ++c) {
      scores.push_back(c == top ? 0.0f : kLow);
    }
  }
}

double frame_s(std::size_t frame) { return static_cast<double>(frame) * kFrameStepSamples / 16000; }

TEST(FindIntervals, ActivityNeedsHalfProbabilityOfASingleSpeakerClass) {
  // Classes 2 and 4 tie at 0, the rest contribute exactly 0: class 2 wins the tie with p = 0.5.
  std::vector<float> half;
  for (int t = 0; t < 40; ++t) {
    half.insert(half.end(), {kLow, kLow, 0.0f, kLow, 0.0f, kLow, kLow});
  }
  const auto kept = find_intervals(half, kClasses, 160000);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0], (SpeakerInterval{0.0, frame_s(40), 2}));

  // A three-way tie leaves class 2 at p = 1/3: inactive.
  std::vector<float> third;
  for (int t = 0; t < 40; ++t) {
    third.insert(third.end(), {kLow, kLow, 0.0f, 0.0f, 0.0f, kLow, kLow});
  }
  EXPECT_TRUE(find_intervals(third, kClasses, 160000).empty());

  // Confident silence or overlap is never active.
  std::vector<float> overlap;
  add_frames(overlap, 300, 5);
  add_frames(overlap, 289, 0);
  EXPECT_TRUE(find_intervals(overlap, kClasses, 160000).empty());
}

TEST(FindIntervals, RunsBreakOnClassChangeAndShortRunsAreDropped) {
  std::vector<float> scores;
  add_frames(scores, 10, 0);
  add_frames(scores, 29, 1);  // 0.49 s: dropped
  add_frames(scores, 10, 0);
  add_frames(scores, 30, 3);  // 0.51 s: kept
  add_frames(scores, 40, 1);  // class change without a gap
  add_frames(scores, 40, 2);
  add_frames(scores, 20, 1);  // 20 + 5 + 20 frames of class 1 split by class 2: nothing merges
  add_frames(scores, 5, 2);
  add_frames(scores, 20, 1);
  const auto intervals = find_intervals(scores, kClasses, 160000);
  ASSERT_EQ(intervals.size(), 3u);
  EXPECT_EQ(intervals[0], (SpeakerInterval{frame_s(49), frame_s(79), 3}));
  EXPECT_EQ(intervals[1], (SpeakerInterval{frame_s(79), frame_s(119), 1}));
  EXPECT_EQ(intervals[2], (SpeakerInterval{frame_s(119), frame_s(159), 2}));
  EXPECT_EQ(intervals[1].end_s, intervals[2].start_s);
}

TEST(FindIntervals, RunsIntoPaddingEndAtTheAudioDuration) {
  // 3 s of audio on a 10 s frame grid.
  std::vector<float> scores;
  add_frames(scores, 100, 0);
  add_frames(scores, 489, 1);
  auto intervals = find_intervals(scores, kClasses, 48000);
  ASSERT_EQ(intervals.size(), 1u);
  EXPECT_EQ(intervals[0], (SpeakerInterval{frame_s(100), 3.0, 1}));

  // Starting 0.4 s before the end of the audio: clamped to less than 0.5 s and dropped.
  scores.clear();
  add_frames(scores, 154, 0);
  add_frames(scores, 435, 2);
  EXPECT_TRUE(find_intervals(scores, kClasses, 48000).empty());

  // Fewer values than one frame, and trailing values that do not fill a frame.
  EXPECT_TRUE(find_intervals(std::vector<float>(6, 0.0f), kClasses, 160000).empty());
  scores.clear();
  add_frames(scores, 30, 1);
  scores.push_back(0.0f);
  EXPECT_EQ(find_intervals(scores, kClasses, 160000).size(), 1u);
}

TEST(AssignSentences, LargestSingleOverlapWinsWithTiesToTheEarliestInterval) {
  const std::vector<SpeakerInterval> intervals = {{0.0, 1.5, 1}, {1.5, 3.0, 2}};
  const std::vector<std::size_t> labels = {0, 1};
  const std::vector<StatementTimes> sentences = {
      {1.0, 2.0},  // 0.5 and 0.5: first interval
      {1.4, 2.5},  // 0.1 and 1.0: second interval
      {3.0, 4.0},  // touches at an end point only
      {2.0, 2.0},  // empty span
      {1.0, std::nullopt},
      {std::nullopt, 2.0},
      {std::numeric_limits<double>::quiet_NaN(), 2.0},
      {0.0, std::numeric_limits<double>::infinity()},
  };
  const auto got = assign_sentences(sentences, intervals, labels);
  ASSERT_TRUE(got.has_value());
  const std::vector<std::optional<std::size_t>> want = {
      1, 2, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
  EXPECT_EQ(*got, want);

  // Overlap counts per interval, not per cluster: cluster 0 covers 1.8 s in two pieces,
  // cluster 1 covers 1.2 s in one.
  const std::vector<SpeakerInterval> split = {{0.0, 1.0, 1}, {1.0, 2.2, 2}, {2.2, 3.0, 1}};
  const std::vector<StatementTimes> whole = {{0.0, 3.0}};
  EXPECT_EQ(*assign_sentences(whole, split, std::vector<std::size_t>{0, 1, 0}),
            (std::vector<std::optional<std::size_t>>{2}));

  EXPECT_EQ(*assign_sentences(whole, {}, {}), (std::vector<std::optional<std::size_t>>{{}}));
}

TEST(AssignSentences, LabelCountMustMatchIntervals) {
  const std::vector<SpeakerInterval> intervals = {{0.0, 1.0, 1}, {1.0, 2.0, 2}};
  const auto got = assign_sentences({}, intervals, std::vector<std::size_t>{0});
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), DiarizationError::label_length_mismatch(2, 1));
  EXPECT_EQ(got.error().to_string(),
            "sentence assignment label length mismatch: intervals=2 labels=1");
}

TEST(DiarizationError, DisplayTexts) {
  EXPECT_EQ(DiarizationError::frame_matrix_length_mismatch(4126, 7).to_string(),
            "frame log-prob matrix length mismatch: len=4126 num_classes=7");
  EXPECT_EQ(DiarizationError::matrix_shape_overflow(3, 4).to_string(),
            "row-major matrix shape overflow: rows=3 cols=4");
  EXPECT_EQ(DiarizationError::embedding_length_mismatch(2, 256, 500).to_string(),
            "embedding matrix length mismatch: rows=2 cols=256 len=500");
}

TEST(ClusterEmbeddings, ShapeErrors) {
  const std::vector<float> values(500, 1.0f);
  const auto mismatch = cluster_embeddings(values, 2, 256, std::nullopt);
  ASSERT_FALSE(mismatch.has_value());
  EXPECT_EQ(mismatch.error(), DiarizationError::embedding_length_mismatch(2, 256, 500));

  const std::size_t big = std::numeric_limits<std::size_t>::max() / 2 + 1;
  const auto overflow = cluster_embeddings(values, big, 4, std::nullopt);
  ASSERT_FALSE(overflow.has_value());
  EXPECT_EQ(overflow.error().to_string(),
            "row-major matrix shape overflow: rows=" + std::to_string(big) + " cols=4");
  EXPECT_EQ(normalize_embedding_rows(values, big, 4).error(), overflow.error());
}

TEST(ClusterEmbeddings, FewRows) {
  EXPECT_EQ(*cluster_embeddings({}, 0, 256, std::nullopt), DiarizationClustering{});
  const std::vector<float> two = {1, 0, 0, 1};
  EXPECT_EQ(*cluster_embeddings(std::span(two).first(2), 1, 2, std::nullopt),
            (DiarizationClustering{1, 1, {0}}));
  EXPECT_EQ(*cluster_embeddings(two, 2, 2, std::nullopt), (DiarizationClustering{1, 1, {0, 0}}));
  // Three rows: k = 2 is the only candidate, and its silhouette (2/3) clears -0.97.
  const std::vector<float> three = {1, 0, 1, 0, 0, 1};
  EXPECT_EQ(*cluster_embeddings(three, 3, 2, std::nullopt),
            (DiarizationClustering{2, 2, {0, 0, 1}}));
}

TEST(ClusterEmbeddings, TwoBasisVectorGroups) {
  const std::vector<float> e1 = {1, 0, 0, 0};
  const std::vector<float> e2 = {0, 3, 0, 0};
  auto build = [](std::initializer_list<const std::vector<float>*> rows) {
    std::vector<float> v;
    for (const auto* r : rows) v.insert(v.end(), r->begin(), r->end());
    return v;
  };
  const auto plain = build({&e1, &e1, &e1, &e2, &e2, &e2});
  EXPECT_EQ(*cluster_embeddings(plain, 6, 4, std::nullopt),
            (DiarizationClustering{2, 2, {0, 0, 0, 1, 1, 1}}));
  const auto unit = *normalize_embedding_rows(plain, 6, 4);
  const auto merges = average_linkage(unit, 6, 4);
  EXPECT_EQ(silhouette_score(unit, 6, 4, cut_tree_canonical_labels(merges, 6, 2)), 1.0);
  for (std::size_t k = 3; k <= 5; ++k) {
    EXPECT_LT(silhouette_score(unit, 6, 4, cut_tree_canonical_labels(merges, 6, k)), 1.0);
  }

  const auto interleaved = build({&e1, &e2, &e1, &e2, &e1, &e2});
  EXPECT_EQ(*cluster_embeddings(interleaved, 6, 4, std::nullopt),
            (DiarizationClustering{2, 2, {0, 1, 0, 1, 0, 1}}));

  // A fixed count skips the search and is clamped to rows - 1.
  EXPECT_EQ(*cluster_embeddings(interleaved, 6, 4, 10),
            (DiarizationClustering{std::nullopt, 5, {0, 1, 0, 2, 3, 4}}));
  EXPECT_EQ(*cluster_embeddings(interleaved, 6, 4, 0),
            (DiarizationClustering{std::nullopt, 1, {0, 0, 0, 0, 0, 0}}));
}

TEST(ClusterEmbeddings, SelectionMarginIsStrict) {
  const double at_margin = -1.0 + kSilhouetteMargin;
  EXPECT_EQ(select_silhouette_k(std::vector<double>{at_margin}), 1u);
  EXPECT_EQ(select_silhouette_k(std::vector<double>{std::nextafter(at_margin, 1.0)}), 2u);
  // Each larger count must beat the best so far, not its predecessor.
  const double best = 0.5;
  EXPECT_EQ(select_silhouette_k(std::vector<double>{best, best + 0.03, 0.52}), 2u);
  EXPECT_EQ(select_silhouette_k(std::vector<double>{best, 0.52, std::nextafter(best + 0.03, 1.0)}),
            4u);
  // Non-finite scores count as -1.0.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(select_silhouette_k(std::vector<double>{inf, nan, -0.9}), 4u);
  EXPECT_EQ(select_silhouette_k({}), 1u);
}

TEST(ClusterEmbeddings, ZeroRowsAndUnclampedLinkage) {
  // A zero row stays zero and lies at distance 1 from everything.
  const std::vector<float> with_zero = {3, 4, 0, 0, 3, 4};
  const auto unit = *normalize_embedding_rows(with_zero, 3, 2);
  EXPECT_EQ(unit, (std::vector<double>{0.6, 0.8, 0.0, 0.0, 0.6, 0.8}));
  const auto merges = average_linkage(unit, 3, 2);
  ASSERT_EQ(merges.size(), 2u);
  EXPECT_EQ(merges[1], (Merge{1, 3, 1.0, 3}));

  // Two copies of (1,1,1)/sqrt(3) have dot product just above 1: the linkage keeps the
  // negative distance, the silhouette clamps it to 0 and scores exactly 1.
  const std::vector<float> rows = {1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 0, 0};
  const auto unit4 = *normalize_embedding_rows(rows, 4, 3);
  const auto merges4 = average_linkage(unit4, 4, 3);
  EXPECT_LT(merges4[0].distance, 0.0);
  EXPECT_EQ(merges4[0].left, 0u);
  EXPECT_EQ(silhouette_score(unit4, 4, 3, std::vector<std::size_t>{0, 0, 1, 1}), 1.0);
  // Label counts that are not usable score -1.
  EXPECT_EQ(silhouette_score(unit4, 4, 3, std::vector<std::size_t>{0, 0, 1}), -1.0);
  EXPECT_EQ(silhouette_score(unit4, 4, 3, std::vector<std::size_t>{0, 0, 0, 0}), -1.0);
  EXPECT_EQ(silhouette_score(unit4, 4, 3, std::vector<std::size_t>{3, 1, 2, 0}), -1.0);
}

// Random matrices built to produce exact distance ties: rows drawn from a small pool, from a
// small integer grid, zero rows, and now and then a NaN.
std::vector<float> random_matrix(std::mt19937& rng, std::size_t rows, std::size_t cols) {
  const int style = static_cast<int>(rng() % 4);
  std::uniform_int_distribution<int> grid(-1, 2);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> pool;
  const std::size_t pool_rows = 1 + rng() % 4;
  for (std::size_t i = 0; i < pool_rows * cols; ++i) {
    pool.push_back(style == 1 ? normal(rng) : static_cast<float>(grid(rng)));
  }
  std::vector<float> values;
  for (std::size_t r = 0; r < rows; ++r) {
    const unsigned pick = rng() % 10;
    for (std::size_t c = 0; c < cols; ++c) {
      float v = 0.0f;
      if (style == 0) {
        v = static_cast<float>(grid(rng));
      } else if (style <= 2 && pick < 7) {
        v = pool[(pick % pool_rows) * cols + c];
      } else if (pick != 0) {
        v = normal(rng);
      }
      values.push_back(v);
    }
  }
  if (rng() % 25 == 0 && !values.empty()) {
    values[rng() % values.size()] = std::numeric_limits<float>::quiet_NaN();
  }
  return values;
}

std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
  std::vector<std::uint64_t> bits;
  for (const double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
  return bits;
}

void expect_same_merges(const std::vector<Merge>& got, const std::vector<Merge>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t m = 0; m < got.size(); ++m) {
    EXPECT_EQ(got[m].left, want[m].left) << "merge " << m;
    EXPECT_EQ(got[m].right, want[m].right) << "merge " << m;
    EXPECT_EQ(got[m].size, want[m].size) << "merge " << m;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got[m].distance),
              std::bit_cast<std::uint64_t>(want[m].distance))
        << "merge " << m;
  }
}

TEST(ClusterEmbeddings, MatchesTheDirectProcedureOnRandomMatrices) {
  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 580; ++trial) {
    const std::size_t rows = trial < 560 ? rng() % 24 : 30 + rng() % 50;
    const std::size_t cols = 1 + rng() % 6;
    const auto values = random_matrix(rng, rows, cols);
    SCOPED_TRACE("trial " + std::to_string(trial) + " rows " + std::to_string(rows));

    const auto unit = *normalize_embedding_rows(values, rows, cols);
    const auto ref_unit = reference::normalize_rows(values, rows, cols);
    ASSERT_EQ(bits_of(unit), bits_of(ref_unit));

    const auto merges = average_linkage(unit, rows, cols);
    const auto ref_merges = reference::average_linkage(unit, rows, cols);
    expect_same_merges(merges, ref_merges);
    for (std::size_t k = 1; k <= std::min<std::size_t>(rows, 9); ++k) {
      const auto labels = cut_tree_canonical_labels(merges, rows, k);
      ASSERT_EQ(labels, reference::cut_tree_canonical_labels(ref_merges, rows, k)) << "k " << k;
      EXPECT_EQ(std::bit_cast<std::uint64_t>(silhouette_score(unit, rows, cols, labels)),
                std::bit_cast<std::uint64_t>(reference::silhouette_score(unit, rows, cols, labels)))
          << "k " << k;
    }

    const std::size_t any_k = rng() % 10;
    EXPECT_EQ(agglomerative_labels(unit, rows, cols, any_k),
              reference::agglomerative_labels(unit, rows, cols, any_k));
    const std::optional<std::size_t> k_override =
        rng() % 5 == 0 ? std::optional<std::size_t>(any_k) : std::nullopt;
    EXPECT_EQ(*cluster_embeddings(values, rows, cols, k_override),
              reference::cluster_embeddings(values, rows, cols, k_override));
  }
}

}  // namespace
}  // namespace quillfen::speakers::diarization
