// The analyze request record produced by validation, and the shared field readers.
#include "analyze/request.h"

#include <gtest/gtest.h>

#include <string>

#include "analyze/field_readers.h"
#include "analyze/json.h"
#include "request_text.h"

namespace quillfen::analyze {
namespace {

using testing::RequestText;

AnalyzeRequest parse_ok(const std::string& text) {
  auto request = parse_analyze_request(text);
  EXPECT_TRUE(request.has_value()) << (request ? "" : request.error().detail());
  return request.value_or(AnalyzeRequest{});
}

TEST(AnalyzeRequestRecord, MinimalRequestFillsEveryField) {
  const AnalyzeRequest request = parse_ok(
      R"({"schema":"quillfen-speaker-analyze-request-v1","sample_rate_hz":16000,"full_audio_f32le_path":"/data/full.f32","output_payload_f32le_path":"/data/statements.f32","models":{"pyannote_segmentation_onnx_path":"/models/seg.onnx","wespeaker_onnx_path":"/models/emb.onnx"},"statement_embedding":{"spans":[{"statement_id":1,"start_s":0.0,"end_s":2.5}]},"diarization":{"spans":[{"statement_id":1,"start_s":0.0,"end_s":2.5}]}})");
  AnalyzeRequest expected;
  expected.sample_rate_hz = 16000;
  expected.full_audio_f32le_path = "/data/full.f32";
  expected.output_payload_f32le_path = "/data/statements.f32";
  expected.pyannote_segmentation_onnx_path = "/models/seg.onnx";
  expected.wespeaker_onnx_path = "/models/emb.onnx";
  expected.statement_spans = {StatementSpan{0.0, 2.5, 1}};
  expected.diarization_spans = {StatementSpan{0.0, 2.5, 1}};
  EXPECT_EQ(request, expected);
}

TEST(AnalyzeRequestRecord, OptionalPathsAndRate) {
  AnalyzeRequest request = parse_ok(RequestText()
                                        .set("reduced_audio_f32le_path", "null")
                                        .set("interval_embedding_payload_f32le_path", "null")
                                        .set("sample_rate_hz", "4294967295")
                                        .str());
  EXPECT_EQ(request.reduced_audio_f32le_path, std::nullopt);
  EXPECT_EQ(request.interval_embedding_payload_f32le_path, std::nullopt);
  EXPECT_EQ(request.sample_rate_hz, 4294967295u);

  request = parse_ok(
      RequestText()
          .set_string("reduced_audio_f32le_path", "r.f32")
          .set_string("interval_embedding_payload_f32le_path", "./data/statements.f32")
          .set("sample_rate_hz", "44100")
          .set("unknown_key", "[1,{}]")
          .set("models",
               R"({"pyannote_segmentation_onnx_path":"s","wespeaker_onnx_path":"e","third":1})")
          .str());
  EXPECT_EQ(request.reduced_audio_f32le_path, "r.f32");
  EXPECT_EQ(request.interval_embedding_payload_f32le_path, "./data/statements.f32");
  EXPECT_EQ(request.sample_rate_hz, 44100u);
  EXPECT_EQ(request.pyannote_segmentation_onnx_path, "s");
  EXPECT_EQ(request.wespeaker_onnx_path, "e");
}

TEST(AnalyzeRequestRecord, SpanTimesFollowTheOptionalNumberRule) {
  const AnalyzeRequest request = parse_ok(
      RequestText()
          .spans(
              R"([{"statement_id":-7,"start_s":"12","end_s":3},{"statement_id":2,"start_s":null,"end_s":true},{"statement_id":2,"start_s":5.5,"end_s":-1e300},{"statement_id":9223372036854775807,"start_s":[1],"end_s":{}}])",
              R"([{"statement_id":-7},{"statement_id":2,"start_s":1},{"statement_id":2},{"statement_id":9223372036854775807,"start_s":18446744073709551615}])")
          .str());
  const std::vector<StatementSpan> statements = {
      {std::nullopt, 3.0, -7},
      {std::nullopt, std::nullopt, 2},
      {5.5, -1e300, 2},
      {std::nullopt, std::nullopt, 9223372036854775807},
  };
  const std::vector<StatementSpan> diarization = {
      {std::nullopt, std::nullopt, -7},
      {1.0, std::nullopt, 2},
      {std::nullopt, std::nullopt, 2},
      {18446744073709551615.0, std::nullopt, 9223372036854775807},
  };
  EXPECT_EQ(request.statement_spans, statements);
  EXPECT_EQ(request.diarization_spans, diarization);
}

TEST(AnalyzeRequestRecord, EmptySpanListsAreValid) {
  const AnalyzeRequest request = parse_ok(RequestText().spans("[]", "[]").str());
  EXPECT_TRUE(request.statement_spans.empty());
  EXPECT_TRUE(request.diarization_spans.empty());
}

TEST(AnalyzeRequestRecord, UnknownSchemaNamesTheAnalyzeId) {
  const auto request =
      parse_analyze_request(RequestText().set_string("schema", "quillfen-x").str());
  ASSERT_FALSE(request.has_value());
  EXPECT_EQ(request.error().kind, AnalyzeError::Kind::UnknownSchema);
  EXPECT_EQ(request.error().detail(),
            "request schema \"quillfen-x\" is not \"quillfen-speaker-analyze-request-v1\"");
}

json::Object object_of(const std::string& text) { return json::parse(text).value().as_object(); }

TEST(FieldReaders, StringsAndObjects) {
  const json::Object o = object_of(R"({"s":"x","e":"","n":null,"i":1,"o":{"k":1},"a":[]})");
  EXPECT_EQ(read_required_string(o, "s"), "x");
  for (const char* key : {"e", "n", "i", "missing"}) {
    EXPECT_EQ(read_required_string(o, key).error(),
              AnalyzeError::malformed_request(std::string(key) + " must be a non-empty string"));
  }
  EXPECT_EQ(read_optional_string(o, "s").value(), std::optional<std::string>("x"));
  EXPECT_EQ(read_optional_string(o, "n").value(), std::nullopt);
  EXPECT_EQ(read_optional_string(o, "missing").value(), std::nullopt);
  for (const char* key : {"e", "i", "a"}) {
    EXPECT_EQ(
        read_optional_string(o, key).error(),
        AnalyzeError::malformed_request(std::string(key) + " must be a non-empty string or null"));
  }
  ASSERT_TRUE(read_required_object(o, "o").has_value());
  EXPECT_EQ((*read_required_object(o, "o"))->size(), 1u);
  EXPECT_EQ(read_required_object(o, "a").error(),
            AnalyzeError::malformed_request("a must be an object"));
}

TEST(FieldReaders, ExactString) {
  const json::Object o = object_of(R"({"f":"raw-f32le-row-major-v1","g":"other","e":"","n":3})");
  EXPECT_TRUE(read_exact_string(o, "f", "raw-f32le-row-major-v1").has_value());
  EXPECT_EQ(read_exact_string(o, "g", "raw-f32le-row-major-v1").error(),
            AnalyzeError::malformed_request("g must be \"raw-f32le-row-major-v1\""));
  for (const char* key : {"e", "n", "missing"}) {
    EXPECT_EQ(read_exact_string(o, key, "x").error(),
              AnalyzeError::malformed_request(std::string(key) + " must be a non-empty string"));
  }
}

TEST(FieldReaders, NonNegativeI64) {
  const json::Object o = object_of(
      R"({"zero":0,"max":9223372036854775807,"over":9223372036854775808,"neg":-1,"min":-9223372036854775808,"f":2.0,"s":"1"})");
  EXPECT_EQ(read_non_negative_i64(o, "zero"), 0u);
  EXPECT_EQ(read_non_negative_i64(o, "max"), 9223372036854775807u);
  for (const char* key : {"neg", "min"}) {
    EXPECT_EQ(read_non_negative_i64(o, key).error(),
              AnalyzeError::malformed_request(std::string(key) + " must be non-negative"));
  }
  for (const char* key : {"over", "f", "s", "missing"}) {
    EXPECT_EQ(read_non_negative_i64(o, key).error(),
              AnalyzeError::malformed_request(std::string(key) + " must be an i64 integer"));
  }
  EXPECT_EQ(non_negative_i64_value(nullptr, "shape[0]").error(),
            AnalyzeError::malformed_request("shape[0] must be an i64 integer"));
}

TEST(FieldReaders, SchemaAndRequestObject) {
  EXPECT_EQ(parse_request_object("[1]").error(),
            AnalyzeError::malformed_request("request body must be a JSON object"));
  EXPECT_EQ(parse_request_object("").error(),
            AnalyzeError::malformed_request(
                "request body is not valid JSON: EOF while parsing a value at line 1 column 0"));
  const json::Object o = object_of(R"({"schema":"a-v1"})");
  EXPECT_TRUE(read_schema(o, "a-v1").has_value());
  const AnalyzeError wrong = read_schema(o, "b-v1").error();
  EXPECT_EQ(wrong.kind, AnalyzeError::Kind::UnknownSchema);
  EXPECT_EQ(wrong.detail(), "request schema \"a-v1\" is not \"b-v1\"");
  EXPECT_EQ(read_schema(object_of("{}"), "b-v1").error(),
            AnalyzeError::malformed_request("schema must be a non-empty string"));
}

}  // namespace
}  // namespace quillfen::analyze
