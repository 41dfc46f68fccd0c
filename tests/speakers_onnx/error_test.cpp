#include "speakers_onnx/error.h"

#include <gtest/gtest.h>

#include "speakers_onnx/session.h"

namespace quillfen::onnx {
namespace {

TEST(SpeakerOnnxError, DisplayTextOfEveryKind) {
  EXPECT_EQ(SpeakerOnnxError::empty_provider_plan().to_string(),
            "speaker ONNX provider plan is empty");
  EXPECT_EQ(SpeakerOnnxError::provider_unavailable("no CoreML").to_string(),
            "speaker ONNX provider is unavailable: no CoreML");
  EXPECT_EQ(SpeakerOnnxError::invalid_features(0, 80).to_string(),
            "speaker ONNX features must have at least one frame and 80 bins, got frames=0 bins=80");
  EXPECT_EQ(SpeakerOnnxError::invalid_audio_window(160000, 159999).to_string(),
            "pyannote ONNX audio window must have 160000 samples (10s at 16000 Hz), got 159999");
  EXPECT_EQ(SpeakerOnnxError::model_io_mismatch("expected one input, got 2").to_string(),
            "speaker ONNX model IO mismatch: expected one input, got 2");
  EXPECT_EQ(SpeakerOnnxError::missing_output("logits").to_string(),
            "speaker ONNX output was not returned: logits");
  EXPECT_EQ(SpeakerOnnxError::runtime("boom").to_string(), "speaker ONNX Runtime error: boom");
}

TEST(ElementTypeNames, TableOrderAndOnnxCodes) {
  EXPECT_EQ(tensor_element_type_name(TensorElementType::F32), "f32");
  EXPECT_EQ(tensor_element_type_name(TensorElementType::Bf16), "bf16");
  EXPECT_EQ(tensor_element_type_name(TensorElementType::F8E5M2Fnuz), "f8_e5m2fnuz");
  // ONNX numbers bfloat16 (16) after the complex types (14, 15).
  const char* by_code[] = {"f32",  "u8",        "i8",          "u16",     "i16",
                           "i32",  "i64",       "String",      "bool",    "f16",
                           "f64",  "u32",       "u64",         "c64",     "c128",
                           "bf16", "f8_e4m3fn", "f8_e4m3fnuz", "f8_e5m2", "f8_e5m2fnuz"};
  for (int code = 1; code <= 20; ++code) {
    EXPECT_EQ(onnx_element_type_name(code), by_code[code - 1]) << code;
  }
  EXPECT_EQ(onnx_element_type_name(0), "element type 0");
  EXPECT_EQ(onnx_element_type_name(22), "element type 22");
}

TEST(ProviderPlan, DefaultPlans) {
  EXPECT_EQ(default_speaker_execution_providers(false),
            (std::vector{SpeakerExecutionProvider::CoreMl, SpeakerExecutionProvider::Cpu}));
  EXPECT_EQ(default_speaker_execution_providers(true),
            (std::vector{SpeakerExecutionProvider::Cpu}));
  EXPECT_EQ(speaker_execution_provider_name(SpeakerExecutionProvider::CoreMl),
            "CoreMLExecutionProvider");
  EXPECT_EQ(speaker_execution_provider_name(SpeakerExecutionProvider::Cpu), "CPUExecutionProvider");
  static_assert(sizeof(SpeakerExecutionProvider) == 1);
}

}  // namespace
}  // namespace quillfen::onnx
