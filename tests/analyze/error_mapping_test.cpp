// Mapping of model, feature and diarization errors into the run's error, kind by kind,
// including the kinds no end-to-end run can reach.
#include "analyze/error_mapping.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillfen::analyze {
namespace {

using onnx::SpeakerOnnxError;

TEST(ErrorMapping, ModelErrorsWhenOpeningAndWhenRunning) {
  const SpeakerOnnxError features = SpeakerOnnxError::invalid_features(0, 80);
  const SpeakerOnnxError window = SpeakerOnnxError::invalid_audio_window(160000, 5);
  const SpeakerOnnxError io = SpeakerOnnxError::model_io_mismatch("expected one input, got 2");
  const SpeakerOnnxError missing = SpeakerOnnxError::missing_output("embs");
  const std::string key = "wespeaker_onnx_path";
  const std::string label = "wespeaker interval embedding";
  struct Case {
    SpeakerOnnxError error;
    AnalyzeError opening;
    AnalyzeError running;
  };
  const std::vector<Case> cases = {
      {SpeakerOnnxError::empty_provider_plan(),
       AnalyzeError::provider_unavailable("speaker ONNX provider plan is empty"),
       AnalyzeError::provider_unavailable("speaker ONNX provider plan is empty")},
      {SpeakerOnnxError::provider_unavailable("x"),
       AnalyzeError::provider_unavailable("speaker ONNX provider is unavailable: x"),
       AnalyzeError::provider_unavailable("speaker ONNX provider is unavailable: x")},
      {features, AnalyzeError::internal_error(features.to_string()),
       AnalyzeError::internal_error(features.to_string())},
      {window, AnalyzeError::internal_error(window.to_string()),
       AnalyzeError::internal_error(window.to_string())},
      {io, AnalyzeError::model_io_mismatch(key, io.to_string()),
       AnalyzeError::model_io_mismatch("speaker model", io.to_string())},
      {missing, AnalyzeError::model_io_mismatch(key, missing.to_string()),
       AnalyzeError::model_io_mismatch("speaker model", missing.to_string())},
      {SpeakerOnnxError::runtime("bad"),
       AnalyzeError::model_invalid(key, "speaker ONNX Runtime error: bad"),
       AnalyzeError::onnx_runtime_error(
           "wespeaker interval embedding failed: speaker ONNX Runtime error: bad")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error.to_string());
    EXPECT_EQ(map_model_open_error(key, c.error), c.opening);
    EXPECT_EQ(map_model_run_error(label, c.error), c.running);
  }
}

TEST(ErrorMapping, FeatureAndDiarizationErrors) {
  using speakers::SpeakerFeatureError;
  const std::string path = "/a/full.f32";
  EXPECT_EQ(map_feature_error(SpeakerFeatureError::unsupported_sample_rate(16000, 8000), path),
            AnalyzeError::unsupported_sample_rate(16000, 8000));
  EXPECT_EQ(map_feature_error(SpeakerFeatureError::non_finite_audio_sample(12), path),
            AnalyzeError::audio_non_finite(12, path));
  EXPECT_EQ(
      map_feature_error(SpeakerFeatureError::shape_mismatch(2, 3, 5), path),
      AnalyzeError::internal_error("row-major matrix length mismatch: frames=2 bins=3 len=5"));
  EXPECT_EQ(map_feature_error(SpeakerFeatureError::shape_overflow(4, 5), path),
            AnalyzeError::internal_error("row-major matrix shape overflow: frames=4 bins=5"));
  EXPECT_EQ(
      map_diarization_error(speakers::diarization::DiarizationError::label_length_mismatch(3, 2)),
      AnalyzeError::internal_error(
          "sentence assignment label length mismatch: intervals=3 labels=2"));
}

}  // namespace
}  // namespace quillfen::analyze
