// The analyze request record, lexical path comparison, and the field readers that the
// command-line tests do not reach.
#include "analyze/request.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

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

TEST(AnalyzeRequestRecord, FieldsAsGiven) {
  AnalyzeRequest expected{16000,
                          "/data/full.f32",
                          std::nullopt,
                          "/data/statements.f32",
                          std::nullopt,
                          "/models/seg.onnx",
                          "/models/emb.onnx",
                          {StatementSpan{0.0, 2.5, 1}},
                          {StatementSpan{0.0, 2.5, 1}}};
  EXPECT_EQ(parse_ok(RequestText().text()), expected);
  EXPECT_EQ(parse_ok(RequestText()
                         .set("reduced_audio_f32le_path", "null")
                         .set("interval_embedding_payload_f32le_path", "null")
                         .text()),
            expected);

  // Unknown keys are ignored at every level; the rate is only range-checked here.
  expected.sample_rate_hz = 4294967295u;
  expected.reduced_audio_f32le_path = "r.f32";
  expected.interval_embedding_payload_f32le_path = "./data/statements.f32";
  EXPECT_EQ(parse_ok(RequestText()
                         .set("sample_rate_hz", "4294967295")
                         .str("reduced_audio_f32le_path", "r.f32")
                         .str("interval_embedding_payload_f32le_path", "./data/statements.f32")
                         .set("extra", "[1,{}]")
                         .set("models", R"({"pyannote_segmentation_onnx_path":"/models/seg.onnx",)"
                                        R"("wespeaker_onnx_path":"/models/emb.onnx","third":1})")
                         .text()),
            expected);
}

TEST(AnalyzeRequestRecord, SpanTimesFollowTheOptionalNumberRule) {
  const AnalyzeRequest request = parse_ok(
      RequestText()
          .spans(
              R"([{"statement_id":-7,"start_s":"12","end_s":3},{"statement_id":2,"start_s":null,"end_s":true},)"
              R"({"statement_id":2,"start_s":5.5,"end_s":-1e300},{"statement_id":9223372036854775807,"start_s":[1]}])",
              R"([{"statement_id":-7},{"statement_id":2,"start_s":1},{"statement_id":2},)"
              R"({"statement_id":9223372036854775807,"start_s":18446744073709551615,"end_s":{}}])")
          .text());
  const std::vector<StatementSpan> statements = {{std::nullopt, 3.0, -7},
                                                 {std::nullopt, std::nullopt, 2},
                                                 {5.5, -1e300, 2},
                                                 {std::nullopt, std::nullopt, 9223372036854775807}};
  const std::vector<StatementSpan> diarization = {
      {std::nullopt, std::nullopt, -7},
      {1.0, std::nullopt, 2},
      {std::nullopt, std::nullopt, 2},
      {18446744073709551615.0, std::nullopt, 9223372036854775807}};
  EXPECT_EQ(request.statement_spans, statements);
  EXPECT_EQ(request.diarization_spans, diarization);
  EXPECT_TRUE(parse_ok(RequestText().spans("[]", "[]").text()).statement_spans.empty());
}

TEST(PathComparison, ComponentsWithoutResolving) {
  using Components = std::vector<std::string_view>;
  EXPECT_EQ(path_components("//work/./out//"), (Components{"/", "work", "out"}));
  EXPECT_EQ(path_components(".//x/../out"), (Components{".", "x", "..", "out"}));
  EXPECT_EQ(path_components("/./out"), (Components{"/", "out"}));
  for (std::string_view same : {"out//a.f32", "out/./a.f32", "out/a.f32/", "out/a.f32//."}) {
    EXPECT_TRUE(paths_equal(same, "out/a.f32")) << same;
  }
  for (std::string_view other :
       {"./out/a.f32", "/work/out/a.f32", "x/../out/a.f32", "out/A.f32", "out/a.f32/b"}) {
    EXPECT_FALSE(paths_equal(other, "out/a.f32")) << other;
  }
  EXPECT_TRUE(paths_equal("/", "//"));
  EXPECT_FALSE(paths_equal(std::string_view("a\0b", 3), "a"));
}

json::Object object_of(const std::string& text) { return json::parse(text).value().as_object(); }

// The exact-string and integer readers serve the other command's request; its texts differ.
TEST(FieldReaders, ExactStringSchemaAndNonNegativeI64) {
  const json::Object o =
      object_of(R"({"f":"float32-le","g":"x","e":"","schema":"a-v1","max":9223372036854775807,)"
                R"("over":9223372036854775808,"neg":-1,"d":2.0})");
  const auto bad = [](const std::string& text) { return AnalyzeError::malformed_request(text); };
  EXPECT_TRUE(read_exact_string(o, "f", "float32-le").has_value());
  EXPECT_EQ(read_exact_string(o, "g", "float32-le").error(), bad("g must be \"float32-le\""));
  EXPECT_EQ(read_exact_string(o, "e", "x").error(), bad("e must be a non-empty string"));
  EXPECT_EQ(read_schema(o, "b-v1").error().detail(), "request schema \"a-v1\" is not \"b-v1\"");
  EXPECT_EQ(read_non_negative_i64(o, "max").value(), 9223372036854775807u);
  EXPECT_EQ(read_non_negative_i64(o, "neg").error(), bad("neg must be non-negative"));
  for (const char* key : {"over", "d", "f", "missing"}) {
    EXPECT_EQ(read_non_negative_i64(o, key).error(),
              bad(std::string(key) + " must be an i64 integer"));
  }
  EXPECT_EQ(non_negative_i64_value(nullptr, "shape[0]").error(),
            bad("shape[0] must be an i64 integer"));
}

}  // namespace
}  // namespace quillfen::analyze
