#include "speakers_onnx/error.h"

#include <array>
#include <utility>

namespace quillfen::onnx {

namespace {

constexpr std::array<std::string_view, 20> kElementTypeNames = {
    "f32",    "u8",   "i8",        "u16",         "i16",     "i32",        "i64",
    "String", "bool", "f16",       "f64",         "u32",     "u64",        "bf16",
    "c64",    "c128", "f8_e4m3fn", "f8_e4m3fnuz", "f8_e5m2", "f8_e5m2fnuz"};

// ONNX element type code (index) -> display type; code 0 (undefined) has none.
constexpr std::array<TensorElementType, 20> kByOnnxCode = {
    TensorElementType::F32,    TensorElementType::U8,        TensorElementType::I8,
    TensorElementType::U16,    TensorElementType::I16,       TensorElementType::I32,
    TensorElementType::I64,    TensorElementType::String,    TensorElementType::Bool,
    TensorElementType::F16,    TensorElementType::F64,       TensorElementType::U32,
    TensorElementType::U64,    TensorElementType::C64,       TensorElementType::C128,
    TensorElementType::Bf16,   TensorElementType::F8E4M3Fn,  TensorElementType::F8E4M3Fnuz,
    TensorElementType::F8E5M2, TensorElementType::F8E5M2Fnuz};

}  // namespace

std::string SpeakerOnnxError::to_string() const {
  switch (kind) {
    case Kind::EmptyProviderPlan:
      return "speaker ONNX provider plan is empty";
    case Kind::ProviderUnavailable:
      return "speaker ONNX provider is unavailable: " + message;
    case Kind::InvalidFeatures:
      return "speaker ONNX features must have at least one frame and 80 bins, got frames=" +
             std::to_string(frames) + " bins=" + std::to_string(bins);
    case Kind::InvalidAudioWindow:
      return "pyannote ONNX audio window must have " + std::to_string(expected) +
             " samples (10s at 16000 Hz), got " + std::to_string(actual);
    case Kind::ModelIoMismatch:
      return "speaker ONNX model IO mismatch: " + message;
    case Kind::MissingOutput:
      return "speaker ONNX output was not returned: " + name;
    case Kind::Runtime:
      return "speaker ONNX Runtime error: " + message;
  }
  return {};
}

std::string_view tensor_element_type_name(TensorElementType type) {
  return kElementTypeNames[static_cast<std::size_t>(type)];
}

std::string onnx_element_type_name(std::int32_t onnx_code) {
  if (onnx_code >= 1 && onnx_code <= static_cast<std::int32_t>(kByOnnxCode.size())) {
    return std::string(
        tensor_element_type_name(kByOnnxCode[static_cast<std::size_t>(onnx_code - 1)]));
  }
  return "element type " + std::to_string(onnx_code);
}

std::string quote_model_name(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out.push_back('"');
  for (char c : name) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace quillfen::onnx
