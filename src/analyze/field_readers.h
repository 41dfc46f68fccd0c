// Readers for the fields of request documents. Each looks one key up in a JSON object (or
// takes a value that may be missing) and either returns the field or a malformed-request
// error naming the key exactly as given. Shared by every command's request validation.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "analyze/analyze_error.h"
#include "analyze/json.h"

namespace quillfen::analyze {

// Parses the request text and checks that it is an object:
// "request body is not valid JSON: {parser message}" / "request body must be a JSON object".
std::expected<json::Value, AnalyzeError> parse_request_object(std::string_view text);

// "schema" as a required string, then equal to schema_id byte for byte; another text gives
// unknown-schema carrying that text.
std::expected<void, AnalyzeError> read_schema(const json::Object& object,
                                              std::string_view schema_id);

// A string of at least one byte: "{key} must be a non-empty string" (also when missing).
std::expected<std::string, AnalyzeError> read_required_string(const json::Object& object,
                                                              std::string_view key);

// Missing or null gives none; else a string of at least one byte:
// "{key} must be a non-empty string or null".
std::expected<std::optional<std::string>, AnalyzeError> read_optional_string(
    const json::Object& object, std::string_view key);

// An object: "{key} must be an object". The result points into object's tree.
std::expected<const json::Object*, AnalyzeError> read_required_object(const json::Object& object,
                                                                      std::string_view key);

// A non-empty string equal to expected: "{key} must be a non-empty string" when missing, not
// a string or empty; "{key} must be {expected}" (expected quoted) for another text.
std::expected<void, AnalyzeError> read_exact_string(const json::Object& object,
                                                    std::string_view key,
                                                    std::string_view expected);

// An integer from 0 to 9223372036854775807: "{key} must be non-negative" for a negative
// integer, "{key} must be an i64 integer" for anything else (missing, float, string, too
// large).
std::expected<std::uint64_t, AnalyzeError> read_non_negative_i64(const json::Object& object,
                                                                 std::string_view key);
// The same rule for a value that is not an object member (value may be nullptr: missing),
// for example an array element named "shape[0]".
std::expected<std::uint64_t, AnalyzeError> non_negative_i64_value(const json::Value* value,
                                                                  std::string_view name);

// A JSON integer of either class that fits in a signed 64-bit value.
std::optional<std::int64_t> integer_as_i64(const json::Value& value);

}  // namespace quillfen::analyze
