// Interval audio cutting, including the ranges a whole run cannot produce (every speaker
// interval covers at least 8000 samples), and the diarization stage's errors and its
// no-interval form, with scripted frame scores and a scripted embedder.
#include "analyze/diarization_stage.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "speakers/decimal_text.h"
#include "speakers/diarization.h"
#include "speakers/filterbank.h"

namespace quillfen::analyze {
namespace {

using onnx::SpeakerEmbedding;
using onnx::SpeakerOnnxError;
using speakers::FeatureMatrix;
using Embedding = std::expected<SpeakerEmbedding, SpeakerOnnxError>;

std::vector<float> noise(std::size_t n) {
  std::vector<float> out(n);
  std::uint32_t state = 12345;
  for (float& v : out) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  }
  return out;
}

TEST(IntervalFeatures, RangesThatAreEmptyOrShorterThanHalfASecondHaveNoFeatures) {
  const std::vector<float> audio = noise(20000);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<double, double>> none = {
      {1.0, 0.5},        // end before start
      {0.5, 0.5},        // empty
      {0.0, 0.4999375},  // 7999 samples
      {0.8, 5.0},        // limited to the audio: 7200 samples
      {3.0, 4.0},        // after the audio
      {0.0, nan},        // a NaN end is sample 0
      {0.0, -1.0}};      // so is a negative end
  for (const auto& [start, end] : none) {
    auto features = interval_features(audio, start, end);
    ASSERT_TRUE(features);
    EXPECT_FALSE(features->has_value()) << start << " " << end;
  }
  const std::vector<std::pair<double, double>> some = {
      {0.0, 0.5}, {nan, 0.5}, {-3.0, 0.5}, {0.7, 1e300}, {0.0, inf}};
  for (const auto& [start, end] : some) {
    auto features = interval_features(audio, start, end);
    ASSERT_TRUE(features);
    EXPECT_TRUE(features->has_value()) << start << " " << end;
  }
}

TEST(IntervalFeatures, FeaturesOfTheTruncatedSampleRangeAndTheirErrors) {
  std::vector<float> audio = noise(40000);
  // 0.10003 s is sample 1600.48 -> 1600; 1.20009 s is 19201.44 -> 19201.
  auto features = interval_features(audio, 0.10003, 1.20009);
  auto direct = speakers::compute_wespeaker_filterbank_cmn(
      std::span<const float>(audio).subspan(1600, 17601), 16000);
  ASSERT_TRUE(features && features->has_value() && direct);
  EXPECT_EQ((*features)->frames(), 108u);
  EXPECT_EQ((*features)->values(), direct->values());

  audio[1700] = std::numeric_limits<float>::infinity();
  features = interval_features(audio, 0.1, 0.9);
  ASSERT_FALSE(features);
  EXPECT_EQ(features.error(), speakers::SpeakerFeatureError::non_finite_audio_sample(100));
}

// Frame scores with one run of 100 frames (about 1.7 s) per entry of classes.
std::vector<float> frame_scores(const std::vector<std::size_t>& classes) {
  std::vector<float> scores;
  for (std::size_t cls : classes) {
    for (std::size_t f = 0; f < 100; ++f) {
      for (std::size_t c = 0; c < 7; ++c) scores.push_back(c == cls ? 0.0f : -20.0f);
    }
  }
  return scores;
}

TEST(DiarizationStage, NoIntervalMeansNoEmbeddingAndNoPayload) {
  const std::vector<StatementSpan> spans = {{1.0, 2.0, 1}};
  std::size_t calls = 0;
  // Overlap and silence only, however confident: no frame is active.
  auto result = run_diarization_stage(frame_scores({4, 0, 6}), noise(60000), "/full.f32", spans,
                                      std::string("/out/i.f32"), [&](const FeatureMatrix&) {
                                        ++calls;
                                        return Embedding(SpeakerEmbedding{});
                                      });
  ASSERT_TRUE(result);
  EXPECT_EQ(calls, 0u);
  EXPECT_FALSE(result->interval_write);
  EXPECT_EQ(json::write(result->diarization),
            R"({"intervals":[],"valid_intervals":null,"interval_embeddings":null,)"
            R"("cluster_labels":null,"statement_labels":null,"silhouette_k":null,)"
            R"("effective_k":null})");
}

TEST(DiarizationStage, ErrorsEndTheStage) {
  const std::vector<float> audio = noise(60000);
  const auto embed_ok = [](const FeatureMatrix&) { return Embedding(SpeakerEmbedding{}); };
  std::vector<float> ragged = frame_scores({1});
  ragged.push_back(0.0f);
  auto bad_length = run_diarization_stage(ragged, audio, "/full.f32", {}, std::nullopt, embed_ok);
  ASSERT_FALSE(bad_length);
  EXPECT_EQ(
      bad_length.error(),
      AnalyzeError::internal_error("frame log-prob matrix length mismatch: len=701 num_classes=7"));

  std::size_t calls = 0;
  auto failing = run_diarization_stage(
      frame_scores({1, 2}), audio, "/full.f32", {}, std::string("/o.f32"),
      [&](const FeatureMatrix&) {
        if (++calls == 2) {
          return Embedding(std::unexpected(SpeakerOnnxError::runtime("run failed")));
        }
        return Embedding(SpeakerEmbedding{});
      });
  ASSERT_FALSE(failing);
  EXPECT_EQ(failing.error(), AnalyzeError::onnx_runtime_error(
                                 "wespeaker interval embedding failed: speaker ONNX Runtime "
                                 "error: run failed"));
}

// Features or an embedding that are not finite, from finite audio too loud for 32-bit power
// spectra, end the stage as audio-invalid naming the interval and the loudest sample.
TEST(DiarizationStage, ValuesThatAreNotFiniteEndTheStageAsAudioInvalid) {
  const std::vector<float> scores = frame_scores({1, 2});
  std::vector<float> audio = noise(60000);
  const auto intervals = speakers::diarization::find_intervals(scores, 7, audio.size());
  ASSERT_EQ(intervals.size(), 2u);
  const std::string second = "speaker interval 1 (" +
                             speakers::shortest_decimal(intervals[1].start_s) + " s to " +
                             speakers::shortest_decimal(intervals[1].end_s) + " s)";

  const auto nan_second = [calls = 0](const FeatureMatrix&) mutable {
    SpeakerEmbedding embedding{};
    if (++calls == 2) embedding[7] = std::numeric_limits<float>::quiet_NaN();
    return Embedding(embedding);
  };
  auto result = run_diarization_stage(scores, audio, "/full.f32", {}, std::nullopt, nan_second);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().detail(),
            AnalyzeError::audio_invalid("/full.f32", "the embedding of " + second +
                                                         " is not finite (the file's largest "
                                                         "sample magnitude is 0.4999951)")
                .detail());

  for (std::size_t i = 40000; i < audio.size(); ++i) audio[i] *= 1e15f;
  audio[50000] = -6e14f;
  result = run_diarization_stage(scores, audio, "/full.f32", {}, std::nullopt,
                                 [](const FeatureMatrix&) { return Embedding(SpeakerEmbedding{}); });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().detail(),
            AnalyzeError::audio_invalid(
                "/full.f32", second +
                                 " is too loud for 32-bit filterbank features (the file's largest "
                                 "sample magnitude is 600000019038208)")
                .detail());
}

}  // namespace
}  // namespace quillfen::analyze
