#include "analyze/field_readers.h"

#include <limits>
#include <utility>

namespace quillfen::analyze {
namespace {

std::string concat(std::string_view a, std::string_view b) {
  std::string text;
  text.reserve(a.size() + b.size());
  text.append(a);
  text.append(b);
  return text;
}

constexpr std::uint64_t kMaxI64 =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

}  // namespace

std::expected<json::Value, AnalyzeError> parse_request_object(std::string_view text) {
  auto parsed = json::parse(text);
  if (!parsed) {
    return std::unexpected(AnalyzeError::malformed_request(
        concat("request body is not valid JSON: ", parsed.error())));
  }
  if (!parsed->is_object()) {
    return std::unexpected(AnalyzeError::malformed_request("request body must be a JSON object"));
  }
  return std::move(*parsed);
}

std::expected<void, AnalyzeError> read_schema(const json::Object& object,
                                              std::string_view schema_id) {
  auto schema = read_required_string(object, "schema");
  if (!schema) return std::unexpected(std::move(schema.error()));
  if (*schema != schema_id) {
    return std::unexpected(
        AnalyzeError::unknown_schema(std::move(*schema), std::string(schema_id)));
  }
  return {};
}

std::expected<std::string, AnalyzeError> read_required_string(const json::Object& object,
                                                              std::string_view key) {
  const json::Value* value = object.find(key);
  if (value == nullptr || !value->is_string() || value->as_string().empty()) {
    return std::unexpected(
        AnalyzeError::malformed_request(concat(key, " must be a non-empty string")));
  }
  return value->as_string();
}

std::expected<std::optional<std::string>, AnalyzeError> read_optional_string(
    const json::Object& object, std::string_view key) {
  const json::Value* value = object.find(key);
  if (value == nullptr || value->is_null()) return std::optional<std::string>();
  if (!value->is_string() || value->as_string().empty()) {
    return std::unexpected(
        AnalyzeError::malformed_request(concat(key, " must be a non-empty string or null")));
  }
  return std::optional<std::string>(value->as_string());
}

std::expected<const json::Object*, AnalyzeError> read_required_object(const json::Object& object,
                                                                      std::string_view key) {
  const json::Value* value = object.find(key);
  if (value == nullptr || !value->is_object()) {
    return std::unexpected(AnalyzeError::malformed_request(concat(key, " must be an object")));
  }
  return &value->as_object();
}

std::expected<void, AnalyzeError> read_exact_string(const json::Object& object,
                                                    std::string_view key,
                                                    std::string_view expected) {
  auto text = read_required_string(object, key);
  if (!text) return std::unexpected(std::move(text.error()));
  if (*text != expected) {
    return std::unexpected(
        AnalyzeError::malformed_request(concat(key, " must be ") + quoted(expected)));
  }
  return {};
}

std::expected<std::uint64_t, AnalyzeError> read_non_negative_i64(const json::Object& object,
                                                                 std::string_view key) {
  return non_negative_i64_value(object.find(key), key);
}

std::expected<std::uint64_t, AnalyzeError> non_negative_i64_value(const json::Value* value,
                                                                  std::string_view name) {
  if (value != nullptr) {
    if (value->is_int()) {
      if (value->as_int() < 0) {
        return std::unexpected(
            AnalyzeError::malformed_request(concat(name, " must be non-negative")));
      }
      return static_cast<std::uint64_t>(value->as_int());
    }
    if (value->is_uint() && value->as_uint() <= kMaxI64) return value->as_uint();
  }
  return std::unexpected(AnalyzeError::malformed_request(concat(name, " must be an i64 integer")));
}

std::optional<std::int64_t> integer_as_i64(const json::Value& value) {
  if (value.is_int()) return value.as_int();
  if (value.is_uint() && value.as_uint() <= kMaxI64) {
    return static_cast<std::int64_t>(value.as_uint());
  }
  return std::nullopt;
}

}  // namespace quillfen::analyze
