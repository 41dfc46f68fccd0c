// Mapping of model, feature and diarization errors into the run's error: every kind, with
// the model label or path it must carry and its final detail text.
#include "analyze/error_mapping.h"

#include <gtest/gtest.h>

namespace quillfen::analyze {
namespace {

using onnx::SpeakerOnnxError;

TEST(ModelErrorMapping, OpeningNamesTheRequestKey) {
  const std::string_view key = "wespeaker_onnx_path";
  EXPECT_EQ(map_model_open_error(key, SpeakerOnnxError::empty_provider_plan()),
            AnalyzeError::provider_unavailable("speaker ONNX provider plan is empty"));
  EXPECT_EQ(map_model_open_error(key, SpeakerOnnxError::provider_unavailable("no CoreML")),
            AnalyzeError::provider_unavailable("speaker ONNX provider is unavailable: no CoreML"));
  EXPECT_EQ(map_model_open_error(key, SpeakerOnnxError::invalid_features(0, 80)),
            AnalyzeError::internal_error("speaker ONNX features must have at least one frame and "
                                         "80 bins, got frames=0 bins=80"));
  EXPECT_EQ(
      map_model_open_error(key, SpeakerOnnxError::invalid_audio_window(160000, 5)),
      AnalyzeError::internal_error(SpeakerOnnxError::invalid_audio_window(160000, 5).to_string()));

  const AnalyzeError mismatch =
      map_model_open_error(key, SpeakerOnnxError::model_io_mismatch("expected one input, got 2"));
  EXPECT_EQ(mismatch, AnalyzeError::model_io_mismatch(
                          "wespeaker_onnx_path",
                          "speaker ONNX model IO mismatch: expected one input, got 2"));
  EXPECT_EQ(mismatch.detail(),
            "wespeaker_onnx_path has unsupported ONNX input/output shape: speaker ONNX model IO "
            "mismatch: expected one input, got 2");
  EXPECT_EQ(map_model_open_error(key, SpeakerOnnxError::missing_output("embs")),
            AnalyzeError::model_io_mismatch("wespeaker_onnx_path",
                                            "speaker ONNX output was not returned: embs"));

  const AnalyzeError invalid = map_model_open_error(
      "pyannote_segmentation_onnx_path", SpeakerOnnxError::runtime("Protobuf parsing failed."));
  EXPECT_EQ(invalid.detail(),
            "pyannote_segmentation_onnx_path could not be opened as an ONNX model: speaker ONNX "
            "Runtime error: Protobuf parsing failed.");
  EXPECT_EQ(invalid.exit_status(), 69);
}

TEST(ModelErrorMapping, RunningNamesTheSpeakerModelOrTheRunLabel) {
  const std::string_view label = "wespeaker interval embedding";
  EXPECT_EQ(map_model_run_error(label, SpeakerOnnxError::empty_provider_plan()),
            AnalyzeError::provider_unavailable("speaker ONNX provider plan is empty"));
  EXPECT_EQ(map_model_run_error(label, SpeakerOnnxError::provider_unavailable("gone")),
            AnalyzeError::provider_unavailable("speaker ONNX provider is unavailable: gone"));
  EXPECT_EQ(map_model_run_error(label, SpeakerOnnxError::invalid_features(3, 7)),
            AnalyzeError::internal_error(SpeakerOnnxError::invalid_features(3, 7).to_string()));
  EXPECT_EQ(
      map_model_run_error(label, SpeakerOnnxError::invalid_audio_window(160000, 1)),
      AnalyzeError::internal_error(SpeakerOnnxError::invalid_audio_window(160000, 1).to_string()));
  EXPECT_EQ(
      map_model_run_error(label, SpeakerOnnxError::model_io_mismatch("output shape [2, 256] is "
                                                                     "not [1, 256]"))
          .detail(),
      "speaker model has unsupported ONNX input/output shape: speaker ONNX model IO mismatch: "
      "output shape [2, 256] is not [1, 256]");
  EXPECT_EQ(map_model_run_error(label, SpeakerOnnxError::missing_output("embs")),
            AnalyzeError::model_io_mismatch("speaker model",
                                            "speaker ONNX output was not returned: embs"));

  const AnalyzeError runtime = map_model_run_error(label, SpeakerOnnxError::runtime("bad"));
  EXPECT_EQ(runtime, AnalyzeError::onnx_runtime_error(
                         "wespeaker interval embedding failed: speaker ONNX Runtime error: bad"));
  EXPECT_EQ(runtime.exit_status(), 75);
}

TEST(FeatureErrorMapping, EachKind) {
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
}

TEST(DiarizationErrorMapping, EveryKindIsAnInternalError) {
  using speakers::diarization::DiarizationError;
  const AnalyzeError mapped = map_diarization_error(DiarizationError::label_length_mismatch(3, 2));
  EXPECT_EQ(mapped, AnalyzeError::internal_error(
                        "sentence assignment label length mismatch: intervals=3 labels=2"));
  EXPECT_EQ(mapped.exit_status(), 75);
  EXPECT_EQ(
      map_diarization_error(DiarizationError::frame_matrix_length_mismatch(8, 7)),
      AnalyzeError::internal_error("frame log-prob matrix length mismatch: len=8 num_classes=7"));
}

}  // namespace
}  // namespace quillfen::analyze
