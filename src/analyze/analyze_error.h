// AnalyzeError: the one error value of a run, with its reason codes, exit statuses and
// detail texts, and the single-line error document written to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace quillfen::analyze {

struct [[nodiscard]] AnalyzeError {
  // In this order.
  enum class Kind : std::uint8_t {
    MalformedRequest,       // message
    UnknownSchema,          // schema, expected_schema
    AudioUnreadable,        // path, message
    AudioInvalid,           // path, message
    UnsupportedSampleRate,  // expected, actual
    AudioNonFinite,         // index, path
    PayloadUnreadable,      // path, message
    PayloadInvalid,         // path, message
    PayloadNonFinite,       // row, col, path
    ModelUnreadable,        // model, path
    ModelInvalid,           // model, message
    ModelIoMismatch,        // model, message
    ProviderUnavailable,    // message
    OnnxRuntimeError,       // message
    OutputUnwritable,       // path, message
    InternalError,          // message
  };
  static constexpr std::size_t kKindCount = 16;

  Kind kind = Kind::InternalError;
  std::string message{};
  std::string schema{};
  // The request schema id that the running command accepts (unknown-schema only).
  std::string expected_schema{};
  std::string path{};
  std::string model{};  // a constant label, never request text
  std::uint32_t expected = 0, actual = 0;
  std::uint64_t index = 0;
  std::uint64_t row = 0, col = 0;

  static AnalyzeError malformed_request(std::string message) {
    return {.kind = Kind::MalformedRequest, .message = std::move(message)};
  }
  // The one-argument form names the analyze request id as the accepted schema.
  static AnalyzeError unknown_schema(std::string schema);
  static AnalyzeError unknown_schema(std::string schema, std::string expected_schema) {
    return {.kind = Kind::UnknownSchema,
            .schema = std::move(schema),
            .expected_schema = std::move(expected_schema)};
  }
  static AnalyzeError audio_unreadable(std::string path, std::string message) {
    return path_message(Kind::AudioUnreadable, std::move(path), std::move(message));
  }
  static AnalyzeError audio_invalid(std::string path, std::string message) {
    return path_message(Kind::AudioInvalid, std::move(path), std::move(message));
  }
  static AnalyzeError unsupported_sample_rate(std::uint32_t expected, std::uint32_t actual) {
    return {.kind = Kind::UnsupportedSampleRate, .expected = expected, .actual = actual};
  }
  static AnalyzeError audio_non_finite(std::uint64_t index, std::string path) {
    return {.kind = Kind::AudioNonFinite, .path = std::move(path), .index = index};
  }
  static AnalyzeError payload_unreadable(std::string path, std::string message) {
    return path_message(Kind::PayloadUnreadable, std::move(path), std::move(message));
  }
  static AnalyzeError payload_invalid(std::string path, std::string message) {
    return path_message(Kind::PayloadInvalid, std::move(path), std::move(message));
  }
  static AnalyzeError payload_non_finite(std::uint64_t row, std::uint64_t col, std::string path) {
    return {.kind = Kind::PayloadNonFinite, .path = std::move(path), .row = row, .col = col};
  }
  static AnalyzeError model_unreadable(std::string model, std::string path) {
    return {.kind = Kind::ModelUnreadable, .path = std::move(path), .model = std::move(model)};
  }
  static AnalyzeError model_invalid(std::string model, std::string message) {
    return model_message(Kind::ModelInvalid, std::move(model), std::move(message));
  }
  static AnalyzeError model_io_mismatch(std::string model, std::string message) {
    return model_message(Kind::ModelIoMismatch, std::move(model), std::move(message));
  }
  static AnalyzeError provider_unavailable(std::string message) {
    return {.kind = Kind::ProviderUnavailable, .message = std::move(message)};
  }
  static AnalyzeError onnx_runtime_error(std::string message) {
    return {.kind = Kind::OnnxRuntimeError, .message = std::move(message)};
  }
  static AnalyzeError output_unwritable(std::string path, std::string message) {
    return path_message(Kind::OutputUnwritable, std::move(path), std::move(message));
  }
  static AnalyzeError internal_error(std::string message) {
    return {.kind = Kind::InternalError, .message = std::move(message)};
  }

  // "malformed-request", "unknown-schema", ... by kind.
  [[nodiscard]] std::string_view reason() const { return reason_of(kind); }
  // 64, 69 or 75 by kind.
  [[nodiscard]] int exit_status() const { return exit_status_of(kind); }
  // The detail text built from the kind's template; request texts appear in quoted form.
  [[nodiscard]] std::string detail() const;
  // The display text of the error: its detail.
  [[nodiscard]] std::string to_string() const { return detail(); }

  [[nodiscard]] static std::string_view reason_of(Kind kind);
  [[nodiscard]] static int exit_status_of(Kind kind);

  friend bool operator==(const AnalyzeError&, const AnalyzeError&) = default;

 private:
  static AnalyzeError path_message(Kind kind, std::string path, std::string message) {
    return {.kind = kind, .message = std::move(message), .path = std::move(path)};
  }
  static AnalyzeError model_message(Kind kind, std::string model, std::string message) {
    return {.kind = kind, .message = std::move(message), .model = std::move(model)};
  }
};

// The schema id of every error document.
inline constexpr std::string_view kErrorSchema = "quillfen-speaker-analyze-error-v1";

// The quoted form of a text: double quotes around it; backslash and double quote escaped
// with a backslash; tab, CR, LF, NUL as \t \r \n \0; other non-printable characters
// (control, format, line/paragraph separator, surrogate, private use, unassigned) and
// Grapheme_Extend marks as \u{hex}.
[[nodiscard]] std::string quoted(std::string_view text);
// Exact matches for std::string arguments, so that argument-dependent lookup never picks
// std::quoted instead, and for literals.
[[nodiscard]] inline std::string quoted(const std::string& text) {
  return quoted(std::string_view(text));
}
[[nodiscard]] inline std::string quoted(const char* text) { return quoted(std::string_view(text)); }

// {"schema":"quillfen-speaker-analyze-error-v1","reason":...,"detail":...} without newline.
[[nodiscard]] std::string error_json_line(std::string_view reason, std::string_view detail);
[[nodiscard]] std::string error_line_for_analyze_error(const AnalyzeError& error);

}  // namespace quillfen::analyze
