#include "speakers/statements.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "speakers/filterbank.h"

namespace quillfen::speakers {
namespace {

std::vector<float> noise(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-0.3f, 0.3f);
  std::vector<float> s(n);
  for (float& v : s) v = dist(rng);
  return s;
}

// The features admission must produce for samples [lo, hi).
std::vector<float> features_of(const std::vector<float>& audio, std::size_t lo, std::size_t hi) {
  auto f = compute_wespeaker_filterbank_cmn(std::span(audio).subspan(lo, hi - lo), 16000);
  EXPECT_TRUE(f.has_value());
  return f->values();
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(StatementAdmission, AdmitsExactlyMinimumLengthAndSkipsShorterSpansInOrder) {
  const auto audio = noise(160000, 1);  // 10 s
  const std::vector<StatementSpan> spans = {
      {1.0, 1.3, 11},            // e - s = 0.30000000000000004: 4800 samples
      {2.0, 2.3, 12},            // e - s = 0.2999999999999998
      {1.0, 1.29, 13},           //
      {0.036, 0.036 + 0.3, 14},  // e - s = 0.3 but only 4799 samples
      {4.0, 5.5, -15},
  };
  auto r = admit_statement_features(audio, 16000, spans);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->skipped_count, 3u);
  ASSERT_EQ(r->admitted.size(), 2u);

  EXPECT_EQ(r->admitted[0].statement_id, 11);
  EXPECT_EQ(r->admitted[0].duration_s, 0.3);
  EXPECT_EQ(r->admitted[0].features.frames(), 28u);
  EXPECT_EQ(r->admitted[0].features.values(), features_of(audio, 16000, 20800));

  EXPECT_EQ(r->admitted[1].statement_id, -15);
  EXPECT_EQ(r->admitted[1].duration_s, 1.5);
  EXPECT_EQ(r->admitted[1].features.values(), features_of(audio, 64000, 88000));
}

TEST(StatementAdmission, ClampsSpansToTheRecording) {
  const auto audio = noise(160000, 2);
  const std::vector<StatementSpan> spans = {
      {-2.0, 0.5, 1},   // starts before the audio: samples 0 ... 7999
      {9.5, 12.0, 2},   // ends after it: samples 152000 ... 159999
      {11.0, 12.0, 3},  // entirely beyond: clamps to [10, 10]
      {-3.0, -1.0, 4},  // entirely before: clamps to [0, 0]
  };
  auto r = admit_statement_features(audio, 16000, spans);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->skipped_count, 2u);
  ASSERT_EQ(r->admitted.size(), 2u);
  EXPECT_EQ(r->admitted[0].duration_s, 0.5);
  EXPECT_EQ(r->admitted[0].features.values(), features_of(audio, 0, 8000));
  EXPECT_EQ(r->admitted[1].duration_s, 0.5);
  EXPECT_EQ(r->admitted[1].features.values(), features_of(audio, 152000, 160000));
}

TEST(StatementAdmission, SkipsMalformedSpans) {
  const auto audio = noise(48000, 3);
  const std::vector<StatementSpan> spans = {
      {2.0, 1.0, 1},           // reversed
      {std::nullopt, 1.0, 2},  // no start
      {0.0, std::nullopt, 3},  // no end
      {0.0, kNaN, 4},          //
      {kNaN, 1.0, 5},          //
      {-kInf, 1.0, 6},         // infinite times are not clamped
      {0.0, kInf, 7},          //
      {0.5, 1.5, 8},           // the only good one
  };
  auto r = admit_statement_features(audio, 16000, spans);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->skipped_count, 7u);
  ASSERT_EQ(r->admitted.size(), 1u);
  EXPECT_EQ(r->admitted[0].statement_id, 8);

  auto none = admit_statement_features(audio, 16000, {});
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->admitted.empty());
  EXPECT_EQ(none->skipped_count, 0u);
}

TEST(StatementAdmission, RateErrorsOnlyWhenASpanReachesTheFilterbank) {
  const auto audio = noise(80000, 4);  // 10 s at 8000 Hz
  const std::vector<StatementSpan> short_spans = {{1.0, 1.2, 1}, {std::nullopt, 3.0, 2}};
  auto skipped = admit_statement_features(audio, 8000, short_spans);
  ASSERT_TRUE(skipped.has_value());
  EXPECT_TRUE(skipped->admitted.empty());
  EXPECT_EQ(skipped->skipped_count, 2u);

  const std::vector<StatementSpan> long_span = {{1.0, 1.2, 1}, {2.0, 4.0, 2}};
  auto failed = admit_statement_features(audio, 8000, long_span);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), SpeakerFeatureError::unsupported_sample_rate(16000, 8000));
  EXPECT_EQ(failed.error().to_string(), "unsupported sample rate: expected 16000, got 8000");
}

TEST(StatementAdmission, NonFiniteSampleIndexIsRelativeToTheStatementAndFailsTheCall) {
  auto audio = noise(160000, 5);
  audio[48000 + 123] = std::numeric_limits<float>::infinity();  // 3.0 s + 123 samples
  const std::vector<StatementSpan> spans = {{1.0, 2.0, 1}, {3.0, 4.0, 2}};
  auto r = admit_statement_features(audio, 16000, spans);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), SpeakerFeatureError::non_finite_audio_sample(123));
  EXPECT_EQ(r.error().to_string(), "audio sample at index 123 is not finite");
}

}  // namespace
}  // namespace quillfen::speakers
