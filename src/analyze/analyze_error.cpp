#include "analyze/analyze_error.h"

#include <unicode/uchar.h>

#include <array>
#include <charconv>
#include <utility>

#include "analyze/json.h"

namespace quillfen::analyze {
namespace {

constexpr std::string_view kAnalyzeRequestSchemaId = "quillfen-speaker-analyze-request-v1";

struct KindInfo {
  std::string_view reason;
  int exit_status;
};

// Indexed by Kind.
constexpr std::array<KindInfo, 16> kKinds = {{
    {"malformed-request", 64},
    {"unknown-schema", 64},
    {"audio-unreadable", 69},
    {"audio-invalid", 69},
    {"unsupported-sample-rate", 69},
    {"audio-non-finite", 69},
    {"payload-unreadable", 69},
    {"payload-invalid", 69},
    {"payload-non-finite", 69},
    {"model-unreadable", 69},
    {"model-invalid", 69},
    {"model-io-mismatch", 69},
    {"provider-unavailable", 75},
    {"onnx-runtime-error", 75},
    {"output-unwritable", 75},
    {"internal-error", 75},
}};

const KindInfo& info(AnalyzeError::Kind kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < kKinds.size() ? kKinds[index] : kKinds.back();
}

AnalyzeError make(AnalyzeError::Kind kind) {
  AnalyzeError e;
  e.kind = kind;
  return e;
}

AnalyzeError with_path_message(AnalyzeError::Kind kind, std::string path, std::string message) {
  AnalyzeError e = make(kind);
  e.path = std::move(path);
  e.message = std::move(message);
  return e;
}

AnalyzeError with_model_message(AnalyzeError::Kind kind, std::string model, std::string message) {
  AnalyzeError e = make(kind);
  e.model = std::move(model);
  e.message = std::move(message);
  return e;
}

AnalyzeError with_message(AnalyzeError::Kind kind, std::string message) {
  AnalyzeError e = make(kind);
  e.message = std::move(message);
  return e;
}

// An ill-formed sequence: reads as U+FFFD REPLACEMENT CHARACTER.
constexpr char32_t kIllFormed = 0xFFFFFFFF;

// Decodes one UTF-8 sequence at text[i]: the code point and the byte length. An ill-formed
// sequence yields kIllFormed and the length of its maximal well-formed prefix (at least one
// byte), so no byte is skipped and none is read twice.
std::pair<char32_t, std::size_t> decode_utf8(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {kIllFormed, 1};
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= text.size()) return {kIllFormed, k};
    const auto byte = static_cast<unsigned char>(text[i + k]);
    if (byte < low || byte > high) return {kIllFormed, k};
    cp = (cp << 6) | (byte & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {cp, length};
}

// Control, format, line/paragraph separator, surrogate, private use, unassigned, or a
// Grapheme_Extend mark.
bool needs_code_point_escape(char32_t cp) {
  const auto c = static_cast<UChar32>(cp);
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
      return true;
    default:
      return u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND) != 0;
  }
}

void append_decimal(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

AnalyzeError AnalyzeError::malformed_request(std::string message) {
  return with_message(Kind::MalformedRequest, std::move(message));
}

AnalyzeError AnalyzeError::unknown_schema(std::string schema) {
  return unknown_schema(std::move(schema), std::string(kAnalyzeRequestSchemaId));
}

AnalyzeError AnalyzeError::unknown_schema(std::string schema, std::string expected_schema) {
  AnalyzeError e = make(Kind::UnknownSchema);
  e.schema = std::move(schema);
  e.expected_schema = std::move(expected_schema);
  return e;
}

AnalyzeError AnalyzeError::audio_unreadable(std::string path, std::string message) {
  return with_path_message(Kind::AudioUnreadable, std::move(path), std::move(message));
}

AnalyzeError AnalyzeError::audio_invalid(std::string path, std::string message) {
  return with_path_message(Kind::AudioInvalid, std::move(path), std::move(message));
}

AnalyzeError AnalyzeError::unsupported_sample_rate(std::uint32_t expected, std::uint32_t actual) {
  AnalyzeError e = make(Kind::UnsupportedSampleRate);
  e.expected = expected;
  e.actual = actual;
  return e;
}

AnalyzeError AnalyzeError::audio_non_finite(std::uint64_t index, std::string path) {
  AnalyzeError e = make(Kind::AudioNonFinite);
  e.index = index;
  e.path = std::move(path);
  return e;
}

AnalyzeError AnalyzeError::payload_unreadable(std::string path, std::string message) {
  return with_path_message(Kind::PayloadUnreadable, std::move(path), std::move(message));
}

AnalyzeError AnalyzeError::payload_invalid(std::string path, std::string message) {
  return with_path_message(Kind::PayloadInvalid, std::move(path), std::move(message));
}

AnalyzeError AnalyzeError::payload_non_finite(std::uint64_t row, std::uint64_t col,
                                              std::string path) {
  AnalyzeError e = make(Kind::PayloadNonFinite);
  e.row = row;
  e.col = col;
  e.path = std::move(path);
  return e;
}

AnalyzeError AnalyzeError::model_unreadable(std::string model, std::string path) {
  AnalyzeError e = make(Kind::ModelUnreadable);
  e.model = std::move(model);
  e.path = std::move(path);
  return e;
}

AnalyzeError AnalyzeError::model_invalid(std::string model, std::string message) {
  return with_model_message(Kind::ModelInvalid, std::move(model), std::move(message));
}

AnalyzeError AnalyzeError::model_io_mismatch(std::string model, std::string message) {
  return with_model_message(Kind::ModelIoMismatch, std::move(model), std::move(message));
}

AnalyzeError AnalyzeError::provider_unavailable(std::string message) {
  return with_message(Kind::ProviderUnavailable, std::move(message));
}

AnalyzeError AnalyzeError::onnx_runtime_error(std::string message) {
  return with_message(Kind::OnnxRuntimeError, std::move(message));
}

AnalyzeError AnalyzeError::output_unwritable(std::string path, std::string message) {
  return with_path_message(Kind::OutputUnwritable, std::move(path), std::move(message));
}

AnalyzeError AnalyzeError::internal_error(std::string message) {
  return with_message(Kind::InternalError, std::move(message));
}

std::string_view AnalyzeError::reason() const { return info(kind).reason; }

int AnalyzeError::exit_status() const { return info(kind).exit_status; }

std::string AnalyzeError::detail() const {
  std::string out;
  switch (kind) {
    case Kind::MalformedRequest:
    case Kind::ProviderUnavailable:
    case Kind::OnnxRuntimeError:
    case Kind::InternalError:
      return message;
    case Kind::UnknownSchema:
      out = "request schema " + quoted(schema) + " is not " + quoted(expected_schema);
      break;
    case Kind::AudioUnreadable:
      out = "audio path " + quoted(path) + " is unreadable: " + message;
      break;
    case Kind::AudioInvalid:
      out = "audio path " + quoted(path) + " is not raw little-endian f32 mono: " + message;
      break;
    case Kind::UnsupportedSampleRate:
      out = "unsupported sample rate: expected ";
      append_decimal(out, expected);
      out += ", got ";
      append_decimal(out, actual);
      break;
    case Kind::AudioNonFinite:
      out = "audio path " + quoted(path) + " contains non-finite sample at index ";
      append_decimal(out, index);
      break;
    case Kind::PayloadUnreadable:
      out = "payload path " + quoted(path) + " is unreadable: " + message;
      break;
    case Kind::PayloadInvalid:
      out = "payload path " + quoted(path) + " is not raw little-endian f32 row-major: " + message;
      break;
    case Kind::PayloadNonFinite:
      out = "payload path " + quoted(path) + " contains non-finite value at row=";
      append_decimal(out, row);
      out += " col=";
      append_decimal(out, col);
      break;
    case Kind::ModelUnreadable:
      out = model + " is missing or unreadable at " + quoted(path) +
            "; provide a readable ONNX model path";
      break;
    case Kind::ModelInvalid:
      out = model + " could not be opened as an ONNX model: " + message;
      break;
    case Kind::ModelIoMismatch:
      out = model + " has unsupported ONNX input/output shape: " + message;
      break;
    case Kind::OutputUnwritable:
      out = "output payload path " + quoted(path) + " is unwritable: " + message +
            "; non-zero exit means payloads must not be trusted";
      break;
  }
  return out;
}

std::string quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const auto [cp, length] = decode_utf8(text, i);
    switch (cp) {
      case U'\\':
        out += "\\\\";
        break;
      case U'"':
        out += "\\\"";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (cp == kIllFormed) {
          out += "\xEF\xBF\xBD";
        } else if (needs_code_point_escape(cp)) {
          out += "\\u{";
          char digits[8];
          int n = 0;
          for (char32_t v = cp; v != 0 || n == 0; v >>= 4) digits[n++] = kHex[v & 0xF];
          while (n > 0) out.push_back(digits[--n]);
          out.push_back('}');
        } else {
          out.append(text.substr(i, length));
        }
        break;
    }
    i += length;
  }
  out.push_back('"');
  return out;
}

// The document's three members, written in order without building a JSON tree.
std::string error_json_line(std::string_view reason, std::string_view detail) {
  std::string line;
  line.reserve(kErrorSchema.size() + reason.size() + detail.size() + 40);
  line += "{\"schema\":";
  json::write_string(line, kErrorSchema);
  line += ",\"reason\":";
  json::write_string(line, reason);
  line += ",\"detail\":";
  json::write_string(line, detail);
  line += '}';
  return line;
}

std::string error_line_for_analyze_error(const AnalyzeError& error) {
  return error_json_line(error.reason(), error.detail());
}

}  // namespace quillfen::analyze
