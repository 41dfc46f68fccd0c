#include "analyze/analyze_error.h"

#include <string>
#include <utility>

#include "analyze/escaped_code_points.h"
#include "analyze/json.h"
#include "analyze/request.h"
#include "speakers/utf8_text.h"

namespace quillfen::analyze {
namespace {

constexpr int kUsageOrRequestStatus = 64;  // the request cannot be run as given
constexpr int kUnusableInputStatus = 69;   // an input file or model cannot be used
constexpr int kFailureStatus = 75;         // the machine or the run failed

static_assert(static_cast<std::size_t>(AnalyzeError::Kind::InternalError) + 1 ==
              AnalyzeError::kKindCount);

}  // namespace

AnalyzeError AnalyzeError::unknown_schema(std::string schema) {
  return unknown_schema(std::move(schema), std::string(kAnalyzeRequestSchema));
}

std::string_view AnalyzeError::reason_of(Kind kind) {
  switch (kind) {
    case Kind::MalformedRequest:
      return "malformed-request";
    case Kind::UnknownSchema:
      return "unknown-schema";
    case Kind::AudioUnreadable:
      return "audio-unreadable";
    case Kind::AudioInvalid:
      return "audio-invalid";
    case Kind::UnsupportedSampleRate:
      return "unsupported-sample-rate";
    case Kind::AudioNonFinite:
      return "audio-non-finite";
    case Kind::PayloadUnreadable:
      return "payload-unreadable";
    case Kind::PayloadInvalid:
      return "payload-invalid";
    case Kind::PayloadNonFinite:
      return "payload-non-finite";
    case Kind::ModelUnreadable:
      return "model-unreadable";
    case Kind::ModelInvalid:
      return "model-invalid";
    case Kind::ModelIoMismatch:
      return "model-io-mismatch";
    case Kind::ProviderUnavailable:
      return "provider-unavailable";
    case Kind::OnnxRuntimeError:
      return "onnx-runtime-error";
    case Kind::OutputUnwritable:
      return "output-unwritable";
    case Kind::InternalError:
      return "internal-error";
  }
  return "internal-error";  // not a kind
}

int AnalyzeError::exit_status_of(Kind kind) {
  switch (kind) {
    case Kind::MalformedRequest:
    case Kind::UnknownSchema:
      return kUsageOrRequestStatus;
    case Kind::AudioUnreadable:
    case Kind::AudioInvalid:
    case Kind::UnsupportedSampleRate:
    case Kind::AudioNonFinite:
    case Kind::PayloadUnreadable:
    case Kind::PayloadInvalid:
    case Kind::PayloadNonFinite:
    case Kind::ModelUnreadable:
    case Kind::ModelInvalid:
    case Kind::ModelIoMismatch:
      return kUnusableInputStatus;
    case Kind::ProviderUnavailable:
    case Kind::OnnxRuntimeError:
    case Kind::OutputUnwritable:
    case Kind::InternalError:
      return kFailureStatus;
  }
  return kFailureStatus;  // not a kind
}

std::string AnalyzeError::detail() const {
  switch (kind) {
    case Kind::MalformedRequest:
    case Kind::ProviderUnavailable:
    case Kind::OnnxRuntimeError:
    case Kind::InternalError:
      return message;
    case Kind::UnknownSchema:
      return "request schema " + quoted(schema) + " is not " + quoted(expected_schema);
    case Kind::AudioUnreadable:
      return "audio path " + quoted(path) + " is unreadable: " + message;
    case Kind::AudioInvalid:
      return "audio path " + quoted(path) + " is not raw little-endian f32 mono: " + message;
    case Kind::UnsupportedSampleRate:
      return "unsupported sample rate: expected " + std::to_string(expected) + ", got " +
             std::to_string(actual);
    case Kind::AudioNonFinite:
      return "audio path " + quoted(path) + " contains non-finite sample at index " +
             std::to_string(index);
    case Kind::PayloadUnreadable:
      return "payload path " + quoted(path) + " is unreadable: " + message;
    case Kind::PayloadInvalid:
      return "payload path " + quoted(path) + " is not raw little-endian f32 row-major: " + message;
    case Kind::PayloadNonFinite:
      return "payload path " + quoted(path) +
             " contains non-finite value at row=" + std::to_string(row) +
             " col=" + std::to_string(col);
    case Kind::ModelUnreadable:
      return model + " is missing or unreadable at " + quoted(path) +
             "; provide a readable ONNX model path";
    case Kind::ModelInvalid:
      return model + " could not be opened as an ONNX model: " + message;
    case Kind::ModelIoMismatch:
      return model + " has unsupported ONNX input/output shape: " + message;
    case Kind::OutputUnwritable:
      return "output payload path " + quoted(path) + " is unwritable: " + message +
             "; non-zero exit means payloads must not be trusted";
  }
  return {};  // not a kind
}

std::string quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const auto [cp, length] = speakers::decode_utf8(text, i);
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
        if (cp == speakers::kIllFormedSequence) {
          out += "\xEF\xBF\xBD";
        } else if (is_escaped_code_point(cp)) {
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
