#include "analyze/request.h"

#include <array>
#include <limits>
#include <utility>

#include "analyze/field_readers.h"
#include "analyze/json.h"

namespace quillfen::analyze {
namespace {

// Moves the value out of a successful reader result, or returns its error from the caller.
#define QUILLFEN_TRY_ASSIGN(target, expr)                         \
  do {                                                            \
    auto quillfen_result = (expr);                                \
    if (!quillfen_result) {                                       \
      return std::unexpected(std::move(quillfen_result.error())); \
    }                                                             \
    target = std::move(*quillfen_result);                         \
  } while (false)

constexpr std::string_view kOverwriteSuffix =
    "; payload writes happen after analysis and would overwrite that path";

std::expected<std::uint32_t, AnalyzeError> read_sample_rate(const json::Object& object) {
  const json::Value* value = object.find("sample_rate_hz");
  std::uint64_t rate = 0;
  if (value != nullptr && value->is_uint()) {
    rate = value->as_uint();
  } else if (value != nullptr && value->is_int() && value->as_int() >= 0) {
    rate = static_cast<std::uint64_t>(value->as_int());
  } else {
    return std::unexpected(AnalyzeError::malformed_request("sample_rate_hz must be an integer"));
  }
  if (rate > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(
        AnalyzeError::malformed_request("sample_rate_hz is out of range for u32"));
  }
  return static_cast<std::uint32_t>(rate);
}

// Any number as a 64-bit float; every other value (or none) means no time.
std::optional<double> optional_seconds(const json::Object& span, std::string_view key) {
  const json::Value* value = span.find(key);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  return value->number_as_double();
}

std::expected<std::vector<StatementSpan>, AnalyzeError> read_spans(const json::Object& owner,
                                                                   std::string_view label) {
  const json::Value* spans = owner.find("spans");
  if (spans == nullptr || !spans->is_array()) {
    return std::unexpected(
        AnalyzeError::malformed_request(std::string(label) + " must be an array"));
  }
  const json::Array& elements = spans->as_array();
  std::vector<StatementSpan> result;
  result.reserve(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const std::string element_name = std::string(label) + "[" + std::to_string(i) + "]";
    if (!elements[i].is_object()) {
      return std::unexpected(AnalyzeError::malformed_request(element_name + " must be an object"));
    }
    const json::Object& span = elements[i].as_object();
    const json::Value* id = span.find("statement_id");
    const std::optional<std::int64_t> statement_id =
        id != nullptr ? integer_as_i64(*id) : std::nullopt;
    if (!statement_id) {
      return std::unexpected(
          AnalyzeError::malformed_request(element_name + ".statement_id must be an integer"));
    }
    result.push_back(StatementSpan{optional_seconds(span, "start_s"),
                                   optional_seconds(span, "end_s"), *statement_id});
  }
  return result;
}

std::expected<void, AnalyzeError> check_output_conflicts(const AnalyzeRequest& request) {
  struct Named {
    std::string_view name;
    const std::string* path;
  };
  const std::array<Named, 4> inputs = {{
      {"full_audio_f32le_path", &request.full_audio_f32le_path},
      {"reduced_audio_f32le_path",
       request.reduced_audio_f32le_path ? &*request.reduced_audio_f32le_path : nullptr},
      {"models.pyannote_segmentation_onnx_path", &request.pyannote_segmentation_onnx_path},
      {"models.wespeaker_onnx_path", &request.wespeaker_onnx_path},
  }};
  const std::array<Named, 2> outputs = {{
      {"output_payload_f32le_path", &request.output_payload_f32le_path},
      {"interval_embedding_payload_f32le_path",
       request.interval_embedding_payload_f32le_path
           ? &*request.interval_embedding_payload_f32le_path
           : nullptr},
  }};
  for (const Named& output : outputs) {
    if (output.path == nullptr) continue;
    for (const Named& input : inputs) {
      if (input.path != nullptr && paths_equal(*output.path, *input.path)) {
        std::string message(output.name);
        message += " must not equal ";
        message += input.name;
        message += kOverwriteSuffix;
        return std::unexpected(AnalyzeError::malformed_request(std::move(message)));
      }
    }
  }
  if (outputs[1].path != nullptr && paths_equal(*outputs[1].path, *outputs[0].path)) {
    return std::unexpected(
        AnalyzeError::malformed_request(std::string("output_payload_f32le_path must not equal "
                                                    "interval_embedding_payload_f32le_path") +
                                        std::string(kOverwriteSuffix)));
  }
  return {};
}

std::expected<void, AnalyzeError> check_span_pairing(
    const std::vector<StatementSpan>& statements, const std::vector<StatementSpan>& diarization) {
  if (statements.size() != diarization.size()) {
    return std::unexpected(AnalyzeError::malformed_request(
        "statement_embedding.spans length " + std::to_string(statements.size()) +
        " does not match diarization.spans length " + std::to_string(diarization.size())));
  }
  for (std::size_t i = 0; i < statements.size(); ++i) {
    if (statements[i].statement_id != diarization[i].statement_id) {
      return std::unexpected(AnalyzeError::malformed_request(
          "statement id mismatch at index " + std::to_string(i) + ": statement_embedding has " +
          std::to_string(statements[i].statement_id) + ", diarization has " +
          std::to_string(diarization[i].statement_id)));
    }
  }
  return {};
}

}  // namespace

std::expected<AnalyzeRequest, AnalyzeError> parse_analyze_request(std::string_view text) {
  json::Value document;
  QUILLFEN_TRY_ASSIGN(document, parse_request_object(text));
  const json::Object& root = document.as_object();

  if (auto schema = read_schema(root, kAnalyzeRequestSchema); !schema) {
    return std::unexpected(std::move(schema.error()));
  }
  AnalyzeRequest request;
  QUILLFEN_TRY_ASSIGN(request.sample_rate_hz, read_sample_rate(root));
  QUILLFEN_TRY_ASSIGN(request.full_audio_f32le_path,
                      read_required_string(root, "full_audio_f32le_path"));
  QUILLFEN_TRY_ASSIGN(request.reduced_audio_f32le_path,
                      read_optional_string(root, "reduced_audio_f32le_path"));
  QUILLFEN_TRY_ASSIGN(request.output_payload_f32le_path,
                      read_required_string(root, "output_payload_f32le_path"));
  QUILLFEN_TRY_ASSIGN(request.interval_embedding_payload_f32le_path,
                      read_optional_string(root, "interval_embedding_payload_f32le_path"));
  const json::Object* models = nullptr;
  QUILLFEN_TRY_ASSIGN(models, read_required_object(root, "models"));
  QUILLFEN_TRY_ASSIGN(request.pyannote_segmentation_onnx_path,
                      read_required_string(*models, kPyannoteModelKey));
  QUILLFEN_TRY_ASSIGN(request.wespeaker_onnx_path,
                      read_required_string(*models, kWespeakerModelKey));
  if (auto conflicts = check_output_conflicts(request); !conflicts) {
    return std::unexpected(std::move(conflicts.error()));
  }
  const json::Object* statement_embedding = nullptr;
  const json::Object* diarization = nullptr;
  QUILLFEN_TRY_ASSIGN(statement_embedding, read_required_object(root, "statement_embedding"));
  QUILLFEN_TRY_ASSIGN(diarization, read_required_object(root, "diarization"));
  QUILLFEN_TRY_ASSIGN(request.statement_spans,
                      read_spans(*statement_embedding, "statement_embedding.spans"));
  QUILLFEN_TRY_ASSIGN(request.diarization_spans, read_spans(*diarization, "diarization.spans"));
  if (auto pairing = check_span_pairing(request.statement_spans, request.diarization_spans);
      !pairing) {
    return std::unexpected(std::move(pairing.error()));
  }
  return request;
}

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> components;
  std::size_t start = 0;
  if (!path.empty() && path.front() == '/') {
    components.push_back(path.substr(0, 1));
    start = 1;
  }
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    const bool very_first = start == 0;
    if (!component.empty() && (component != "." || very_first)) {
      components.push_back(component);
    }
    start = end + 1;
  }
  return components;
}

bool paths_equal(std::string_view a, std::string_view b) {
  if (a == b) return true;
  return path_components(a) == path_components(b);
}

}  // namespace quillfen::analyze

#undef QUILLFEN_TRY_ASSIGN
