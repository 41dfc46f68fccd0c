// The diarization stage with scripted frame scores and a scripted embedder: interval audio
// cutting (including the cases a whole run cannot reach), the three diarization forms, the
// interval payload, and the errors of the stage.
#include "analyze/diarization_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "analyze/response.h"
#include "speakers/filterbank.h"

namespace quillfen::analyze {
namespace {

using onnx::SpeakerEmbedding;
using onnx::SpeakerOnnxError;
using speakers::FeatureMatrix;

std::vector<float> noise(std::size_t n) {
  std::vector<float> out(n);
  std::uint32_t state = 12345;
  for (float& v : out) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  }
  return out;
}

bool has_features(std::span<const float> audio, double start_s, double end_s) {
  auto features = interval_features(audio, start_s, end_s);
  EXPECT_TRUE(features);
  return features && features->has_value();
}

TEST(IntervalFeatures, RangesThatAreEmptyOrShorterThanHalfASecondHaveNoFeatures) {
  const std::vector<float> audio = noise(20000);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(has_features(audio, 1.0, 0.5));        // end before start
  EXPECT_FALSE(has_features(audio, 0.5, 0.5));        // empty
  EXPECT_FALSE(has_features(audio, 0.0, 0.4999375));  // 7999 samples
  EXPECT_FALSE(has_features(audio, 0.8, 5.0));        // clamped to the audio: 7200 samples
  EXPECT_FALSE(has_features(audio, 3.0, 4.0));        // entirely after the audio
  EXPECT_FALSE(has_features(audio, 0.0, nan));        // a NaN end is sample 0
  EXPECT_FALSE(has_features(audio, 0.0, -1.0));       // so is a negative end
  EXPECT_FALSE(has_features(std::span<const float>(), 0.0, 1.0));

  EXPECT_TRUE(has_features(audio, 0.0, 0.5));    // exactly 8000 samples
  EXPECT_TRUE(has_features(audio, nan, 0.5));    // a NaN start is sample 0
  EXPECT_TRUE(has_features(audio, -3.0, 0.5));   // so is a negative start
  EXPECT_TRUE(has_features(audio, 0.7, 1e300));  // end limited to the audio
  EXPECT_TRUE(has_features(audio, 0.0, std::numeric_limits<double>::infinity()));
}

TEST(IntervalFeatures, FeaturesAreThoseOfTheTruncatedSampleRange) {
  const std::vector<float> audio = noise(40000);
  // 0.10003 s is sample 1600.48 -> 1600; 1.20009 s is 19201.44 -> 19201.
  auto features = interval_features(audio, 0.10003, 1.20009);
  ASSERT_TRUE(features);
  ASSERT_TRUE(features->has_value());
  auto direct = speakers::compute_wespeaker_filterbank_cmn(
      std::span<const float>(audio).subspan(1600, 17601), 16000);
  ASSERT_TRUE(direct);
  EXPECT_EQ((*features)->frames(), 108u);
  EXPECT_EQ((*features)->values(), direct->values());
}

TEST(IntervalFeatures, FilterbankErrorsArePassedUp) {
  std::vector<float> audio = noise(20000);
  audio[1700] = std::numeric_limits<float>::infinity();
  auto features = interval_features(audio, 0.1, 0.9);
  ASSERT_FALSE(features);
  EXPECT_EQ(features.error(), speakers::SpeakerFeatureError::non_finite_audio_sample(100));
}

constexpr std::size_t kRunFrames = 100;  // about 1.7 s per run

// Frame scores with one run of kRunFrames frames per entry of classes (0 = silence).
std::vector<float> frame_scores(const std::vector<std::size_t>& classes) {
  std::vector<float> scores;
  for (std::size_t cls : classes) {
    for (std::size_t f = 0; f < kRunFrames; ++f) {
      for (std::size_t c = 0; c < 7; ++c) scores.push_back(c == cls ? 0.0f : -20.0f);
    }
  }
  return scores;
}

SpeakerEmbedding basis(std::size_t axis) {
  SpeakerEmbedding e{};
  e[axis] = 2.0f;
  return e;
}

// An embedder answering the i-th call with axes[i].
struct ScriptedEmbedder {
  std::vector<std::size_t> axes;
  std::size_t calls = 0;
  EmbedFeatures as_embedder() {
    return
        [this](const FeatureMatrix& features) -> std::expected<SpeakerEmbedding, SpeakerOnnxError> {
          EXPECT_EQ(features.bins(), 80u);
          return basis(axes.at(calls++));
        };
  }
};

const std::string kFullPath = "/audio/full.f32";

TEST(DiarizationStage, FullFormWithIntervalPayload) {
  const std::vector<float> audio = noise(100000);
  const std::vector<float> scores = frame_scores({1, 0, 2, 1});
  const std::vector<StatementSpan> spans = {
      {0.1, 1.0, 10}, {std::nullopt, 1.0, 11}, {3.6, 5.0, 12}, {2.0, 3.0, -4}};
  ScriptedEmbedder embedder{{0, 1, 0}};
  auto result = run_diarization_stage(scores, audio, kFullPath, spans,
                                      std::string("/out/intervals.f32"), embedder.as_embedder());
  ASSERT_TRUE(result);
  EXPECT_EQ(embedder.calls, 3u);

  const json::Object& d = result->diarization.as_object();
  ASSERT_EQ(d.size(), 7u);
  const json::Array& intervals = d.find("intervals")->as_array();
  ASSERT_EQ(intervals.size(), 3u);
  const double frame_s = 271.6468590831918 / 16000.0;
  EXPECT_EQ(json::write(intervals[1]),
            json::write(interval_object(
                {200 * 271.6468590831918 / 16000.0, 300 * 271.6468590831918 / 16000.0, 2})));
  EXPECT_DOUBLE_EQ(intervals[2].as_object().find("start_s")->as_double(), 300 * frame_s);
  EXPECT_EQ(*d.find("valid_intervals"), *d.find("intervals"));
  EXPECT_EQ(
      json::write(*d.find("interval_embeddings")),
      R"({"payload_path":"/out/intervals.f32","payload_format":"raw-f32le-row-major-v1",)"
      R"("dtype":"float32-le","shape":[3,256],"byte_count":3072,"interval_indices":[0,1,2]})");
  EXPECT_EQ(json::write(*d.find("cluster_labels")), "[0,1,0]");
  // Span 11 has no start; span -4 lies in the silent run between intervals 0 and 1.
  EXPECT_EQ(json::write(*d.find("statement_labels")), "[1,null,2,null]");
  EXPECT_EQ(json::write(*d.find("silhouette_k")), "2");
  EXPECT_EQ(json::write(*d.find("effective_k")), "2");

  ASSERT_TRUE(result->interval_write);
  EXPECT_EQ(result->interval_write->path, "/out/intervals.f32");
  std::vector<float> rows;
  for (std::size_t axis : {0u, 1u, 0u}) {
    const SpeakerEmbedding e = basis(axis);
    rows.insert(rows.end(), e.begin(), e.end());
  }
  EXPECT_EQ(result->interval_write->bytes, encode_matrix(rows));
}

TEST(DiarizationStage, WithoutIntervalPathClusteringIsStillReported) {
  const std::vector<float> audio = noise(60000);
  const std::vector<float> scores = frame_scores({3, 1});
  ScriptedEmbedder embedder{{5, 6}};
  auto result =
      run_diarization_stage(scores, audio, kFullPath, {}, std::nullopt, embedder.as_embedder());
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->interval_write);
  const json::Object& d = result->diarization.as_object();
  EXPECT_TRUE(d.find("interval_embeddings")->is_null());
  // Two valid intervals: one cluster.
  EXPECT_EQ(json::write(*d.find("cluster_labels")), "[0,0]");
  EXPECT_EQ(json::write(*d.find("statement_labels")), "[]");
  EXPECT_EQ(json::write(*d.find("silhouette_k")), "1");
  EXPECT_EQ(json::write(*d.find("effective_k")), "1");
}

TEST(DiarizationStage, NoIntervalMeansNoEmbeddingAndNoPayload) {
  const std::vector<float> audio = noise(60000);
  // Overlap and silence only, however confident: nothing is active.
  const std::vector<float> scores = frame_scores({4, 0, 6});
  ScriptedEmbedder embedder;
  const std::vector<StatementSpan> spans = {{1.0, 2.0, 1}};
  auto result = run_diarization_stage(scores, audio, kFullPath, spans, std::string("/out/i.f32"),
                                      embedder.as_embedder());
  ASSERT_TRUE(result);
  EXPECT_EQ(embedder.calls, 0u);
  EXPECT_FALSE(result->interval_write);
  EXPECT_EQ(json::write(result->diarization),
            R"({"intervals":[],"valid_intervals":null,"interval_embeddings":null,)"
            R"("cluster_labels":null,"statement_labels":null,"silhouette_k":null,)"
            R"("effective_k":null})");
}

TEST(DiarizationStage, IntervalsBeyondTheAudioAreNotEmbedded) {
  // Two runs over audio that ends inside the second one: the second interval ends at the
  // end of the audio and is cut from what remains of it.
  const std::vector<float> scores = frame_scores({1, 2});
  // 100 frames end at sample 27165; 36000 samples leave the second run 0.55 s long.
  const std::vector<float> audio = noise(36000);
  ScriptedEmbedder embedder{{0, 1}};
  auto result = run_diarization_stage(scores, audio, kFullPath, {}, std::string("/o.f32"),
                                      embedder.as_embedder());
  ASSERT_TRUE(result);
  EXPECT_EQ(embedder.calls, 2u);
  const auto& d = result->diarization.as_object();
  EXPECT_EQ(d.find("intervals")->as_array().size(), 2u);
  EXPECT_DOUBLE_EQ(d.find("intervals")->as_array()[1].as_object().find("end_s")->as_double(),
                   36000.0 / 16000.0);
}

TEST(DiarizationStage, Errors) {
  const std::vector<float> audio = noise(60000);
  ScriptedEmbedder unused;
  std::vector<float> ragged = frame_scores({1});
  ragged.push_back(0.0f);
  auto bad_length =
      run_diarization_stage(ragged, audio, kFullPath, {}, std::nullopt, unused.as_embedder());
  ASSERT_FALSE(bad_length);
  EXPECT_EQ(
      bad_length.error(),
      AnalyzeError::internal_error("frame log-prob matrix length mismatch: len=701 num_classes=7"));

  std::size_t calls = 0;
  auto failing = run_diarization_stage(
      frame_scores({1, 2}), audio, kFullPath, {}, std::string("/o.f32"),
      [&](const FeatureMatrix&) -> std::expected<SpeakerEmbedding, SpeakerOnnxError> {
        if (++calls == 2) return std::unexpected(SpeakerOnnxError::runtime("run failed"));
        return basis(0);
      });
  ASSERT_FALSE(failing);
  EXPECT_EQ(failing.error(), AnalyzeError::onnx_runtime_error(
                                 "wespeaker interval embedding failed: speaker ONNX Runtime "
                                 "error: run failed"));

  auto mismatch = run_diarization_stage(
      frame_scores({1}), audio, kFullPath, {}, std::nullopt,
      [](const FeatureMatrix&) -> std::expected<SpeakerEmbedding, SpeakerOnnxError> {
        return std::unexpected(
            SpeakerOnnxError::model_io_mismatch("output shape [2, 256] is "
                                                "not [1, 256]"));
      });
  ASSERT_FALSE(mismatch);
  EXPECT_EQ(mismatch.error().detail(),
            "speaker model has unsupported ONNX input/output shape: speaker ONNX model IO "
            "mismatch: output shape [2, 256] is not [1, 256]");
}

}  // namespace
}  // namespace quillfen::analyze
