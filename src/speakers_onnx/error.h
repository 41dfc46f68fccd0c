// Error value of the speaker model inference subsystem and the display names of tensor
// element types used in its model-interface messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace quillfen::onnx {

// Error of opening or running a speaker model. Each kind sets only the fields its display
// text names.
struct [[nodiscard]] SpeakerOnnxError {
  enum class Kind : std::uint8_t {
    EmptyProviderPlan,    // no fields
    ProviderUnavailable,  // message
    InvalidFeatures,      // frames, bins
    InvalidAudioWindow,   // expected, actual
    ModelIoMismatch,      // message
    MissingOutput,        // name
    Runtime,              // message
  };

  Kind kind = Kind::EmptyProviderPlan;
  std::string message{};
  std::string name{};
  std::size_t frames = 0, bins = 0;
  std::size_t expected = 0, actual = 0;

  static SpeakerOnnxError empty_provider_plan() { return {.kind = Kind::EmptyProviderPlan}; }
  static SpeakerOnnxError provider_unavailable(std::string message) {
    return {.kind = Kind::ProviderUnavailable, .message = std::move(message)};
  }
  static SpeakerOnnxError invalid_features(std::size_t frames, std::size_t bins) {
    return {.kind = Kind::InvalidFeatures, .frames = frames, .bins = bins};
  }
  static SpeakerOnnxError invalid_audio_window(std::size_t expected, std::size_t actual) {
    return {.kind = Kind::InvalidAudioWindow, .expected = expected, .actual = actual};
  }
  static SpeakerOnnxError model_io_mismatch(std::string message) {
    return {.kind = Kind::ModelIoMismatch, .message = std::move(message)};
  }
  static SpeakerOnnxError missing_output(std::string name) {
    return {.kind = Kind::MissingOutput, .name = std::move(name)};
  }
  static SpeakerOnnxError runtime(std::string message) {
    return {.kind = Kind::Runtime, .message = std::move(message)};
  }

  // Display text, for example "speaker ONNX model IO mismatch: expected one input, got 2".
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const SpeakerOnnxError&, const SpeakerOnnxError&) = default;
};

// Tensor element types as named in mismatch messages, in display-table order (this order is
// not the ONNX numbering; see element_type_from_onnx).
enum class TensorElementType : std::uint8_t {
  F32,
  U8,
  I8,
  U16,
  I16,
  I32,
  I64,
  String,
  Bool,
  F16,
  F64,
  U32,
  U64,
  Bf16,
  C64,
  C128,
  F8E4M3Fn,
  F8E4M3Fnuz,
  F8E5M2,
  F8E5M2Fnuz,
};

// "f32", "u8", ..., "f8_e5m2fnuz".
[[nodiscard]] std::string_view tensor_element_type_name(TensorElementType type);

// Name of an ONNX tensor element type code (the TensorProto.DataType number, which the
// runtime's element-type enumeration mirrors): the table name for the twenty named types,
// "element type {code}" for any other code (undefined, 4-bit and later additions).
[[nodiscard]] std::string onnx_element_type_name(std::int32_t onnx_code);

// Quoted form of a model value name: double quotes around it, with every double quote and
// backslash inside preceded by a backslash.
[[nodiscard]] std::string quote_model_name(std::string_view name);

}  // namespace quillfen::onnx
