#include "analyze/analyze_error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef QUILLFEN_TEST_WITH_ICU
#include <unicode/uchar.h>
#endif

#include "analyze/escaped_code_points.h"
#include "analyze/json.h"

namespace quillfen::analyze {
namespace {

struct KindCase {
  AnalyzeError error;
  AnalyzeError::Kind kind;
  const char* reason;
  int status;
  const char* detail;
};

std::vector<KindCase> kind_cases() {
  return {
      {AnalyzeError::malformed_request("schema must be a non-empty string"),
       AnalyzeError::Kind::MalformedRequest, "malformed-request", 64,
       "schema must be a non-empty string"},
      {AnalyzeError::unknown_schema("other-v1"), AnalyzeError::Kind::UnknownSchema,
       "unknown-schema", 64,
       R"(request schema "other-v1" is not "quillfen-speaker-analyze-request-v1")"},
      {AnalyzeError::audio_unreadable("/tmp/a b.f32", "No such file or directory (os error 2)"),
       AnalyzeError::Kind::AudioUnreadable, "audio-unreadable", 69,
       R"(audio path "/tmp/a b.f32" is unreadable: No such file or directory (os error 2))"},
      {AnalyzeError::audio_invalid("a.f32", "byte length 7 is not a multiple of 4"),
       AnalyzeError::Kind::AudioInvalid, "audio-invalid", 69,
       R"(audio path "a.f32" is not raw little-endian f32 mono: byte length 7 is not a multiple of 4)"},
      {AnalyzeError::unsupported_sample_rate(16000, 44100),
       AnalyzeError::Kind::UnsupportedSampleRate, "unsupported-sample-rate", 69,
       "unsupported sample rate: expected 16000, got 44100"},
      {AnalyzeError::audio_non_finite(18446744073709551615u, "a.f32"),
       AnalyzeError::Kind::AudioNonFinite, "audio-non-finite", 69,
       R"(audio path "a.f32" contains non-finite sample at index 18446744073709551615)"},
      {AnalyzeError::payload_unreadable("p.f32", "Permission denied (os error 13)"),
       AnalyzeError::Kind::PayloadUnreadable, "payload-unreadable", 69,
       R"(payload path "p.f32" is unreadable: Permission denied (os error 13))"},
      {AnalyzeError::payload_invalid("p.f32", "expected 1024 bytes, found 1020"),
       AnalyzeError::Kind::PayloadInvalid, "payload-invalid", 69,
       R"(payload path "p.f32" is not raw little-endian f32 row-major: expected 1024 bytes, found 1020)"},
      {AnalyzeError::payload_non_finite(3, 255, "p.f32"), AnalyzeError::Kind::PayloadNonFinite,
       "payload-non-finite", 69,
       R"(payload path "p.f32" contains non-finite value at row=3 col=255)"},
      {AnalyzeError::model_unreadable("wespeaker_onnx_path", "/m/w.onnx"),
       AnalyzeError::Kind::ModelUnreadable, "model-unreadable", 69,
       R"(wespeaker_onnx_path is missing or unreadable at "/m/w.onnx"; provide a readable ONNX model path)"},
      {AnalyzeError::model_invalid("pyannote_segmentation_onnx_path", "protobuf parsing failed"),
       AnalyzeError::Kind::ModelInvalid, "model-invalid", 69,
       "pyannote_segmentation_onnx_path could not be opened as an ONNX model: protobuf parsing "
       "failed"},
      {AnalyzeError::model_io_mismatch("speaker model", "output \"x\" missing"),
       AnalyzeError::Kind::ModelIoMismatch, "model-io-mismatch", 69,
       "speaker model has unsupported ONNX input/output shape: output \"x\" missing"},
      {AnalyzeError::provider_unavailable("no provider"), AnalyzeError::Kind::ProviderUnavailable,
       "provider-unavailable", 75, "no provider"},
      {AnalyzeError::onnx_runtime_error("pyannote segmentation failed: boom"),
       AnalyzeError::Kind::OnnxRuntimeError, "onnx-runtime-error", 75,
       "pyannote segmentation failed: boom"},
      {AnalyzeError::output_unwritable("/out/e.f32", "Is a directory (os error 21)"),
       AnalyzeError::Kind::OutputUnwritable, "output-unwritable", 75,
       R"(output payload path "/out/e.f32" is unwritable: Is a directory (os error 21); non-zero exit means payloads must not be trusted)"},
      {AnalyzeError::internal_error("merge without two active clusters"),
       AnalyzeError::Kind::InternalError, "internal-error", 75,
       "merge without two active clusters"},
  };
}

TEST(AnalyzeError, EveryKindHasItsReasonStatusAndDetail) {
  const auto cases = kind_cases();
  ASSERT_EQ(cases.size(), 16u);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const KindCase& c = cases[i];
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(static_cast<std::size_t>(c.error.kind), i);
    EXPECT_EQ(c.error.kind, c.kind);
    EXPECT_EQ(c.error.reason(), c.reason);
    EXPECT_EQ(c.error.exit_status(), c.status);
    EXPECT_EQ(c.error.detail(), c.detail);
    EXPECT_EQ(c.error.to_string(), c.detail);
    EXPECT_EQ(error_line_for_analyze_error(c.error), error_json_line(c.reason, c.detail));
  }
}

TEST(AnalyzeError, MessagesAndModelLabelsAreNotQuoted) {
  // Only path and schema fields are quoted; messages keep quotes and newlines as they are.
  EXPECT_EQ(AnalyzeError::malformed_request("a \"b\"\nc").detail(), "a \"b\"\nc");
  EXPECT_EQ(AnalyzeError::audio_unreadable("x\"y", "m\"n").detail(),
            R"(audio path "x\"y" is unreadable: m"n)");
}

TEST(AnalyzeError, UnknownSchemaNamesTheCommandsSchema) {
  const AnalyzeError e = AnalyzeError::unknown_schema(
      "quillfen-speaker-analyze-request-v1", "quillfen-speaker-discovery-cluster-request-v1");
  EXPECT_EQ(
      e.detail(),
      R"(request schema "quillfen-speaker-analyze-request-v1" is not "quillfen-speaker-discovery-cluster-request-v1")");
  EXPECT_EQ(e.exit_status(), 64);
  EXPECT_EQ(AnalyzeError::unknown_schema("a\tb").detail(),
            R"(request schema "a\tb" is not "quillfen-speaker-analyze-request-v1")");
}

TEST(AnalyzeError, FactoriesSetOnlyTheirFields) {
  EXPECT_EQ(AnalyzeError::payload_non_finite(1, 2, "p"),
            AnalyzeError::payload_non_finite(1, 2, "p"));
  EXPECT_NE(AnalyzeError::payload_non_finite(1, 2, "p"),
            AnalyzeError::payload_non_finite(2, 1, "p"));
  EXPECT_NE(AnalyzeError::audio_invalid("p", "m"), AnalyzeError::payload_invalid("p", "m"));
  const AnalyzeError e = AnalyzeError::model_unreadable("wespeaker_onnx_path", "/m");
  EXPECT_EQ(e.model, "wespeaker_onnx_path");
  EXPECT_EQ(e.path, "/m");
  EXPECT_TRUE(e.message.empty());
}

TEST(Quoted, EscapesQuoteBackslashAndShortForms) {
  EXPECT_EQ(quoted(""), R"("")");
  EXPECT_EQ(quoted("/tmp/a b.f32"), R"("/tmp/a b.f32")");
  EXPECT_EQ(quoted(R"(say "hi" \ it's)"), R"("say \"hi\" \\ it's")");
  EXPECT_EQ(quoted(std::string("t\tr\rn\nz\0!", 9)), R"("t\tr\rn\nz\0!")");
}

TEST(Quoted, NonPrintableCharactersBecomeCodePointEscapes) {
  EXPECT_EQ(quoted("\x1b[0m"), R"("\u{1b}[0m")");
  EXPECT_EQ(quoted("\x01\x7f\xC2\x85"), R"("\u{1}\u{7f}\u{85}")");
  EXPECT_EQ(quoted("e\xCC\x81"), R"("e\u{301}")");  // U+0301 combining acute
  EXPECT_EQ(quoted("a\xE2\x80\x8D"
                   "b"),
            R"("a\u{200d}b")");                                      // U+200D zero-width joiner
  EXPECT_EQ(quoted("\xC2\xAD\xEF\xBB\xBF"), R"("\u{ad}\u{feff}")");  // soft hyphen, BOM
  EXPECT_EQ(quoted("\xE2\x80\xA8\xE2\x80\xA9"), R"("\u{2028}\u{2029}")");
  EXPECT_EQ(quoted("\xEE\x80\x80"), R"("\u{e000}")");                 // private use
  EXPECT_EQ(quoted("\xF4\x8F\xBF\xBD"), R"("\u{10fffd}")");           // plane 16 private use
  EXPECT_EQ(quoted("\xCD\xB8\xEF\xBF\xBF"), R"("\u{378}\u{ffff}")");  // unassigned
  EXPECT_EQ(quoted("\xE2\x9D\xA4\xEF\xB8\x8F"), "\"\xE2\x9D\xA4\\u{fe0f}\"");  // variation selector
}

TEST(Quoted, PrintableCharactersStayAsTheyAre) {
  const std::string kept =
      "\xC3\xA9\xE6\x97\xA5\xD0\x96"  // é 日 Ж
      "\xF0\x9F\x98\x80"              // U+1F600 emoji
      "\xC2\xA0\xE3\x80\x80 "         // U+00A0, U+3000 and the space (space separators)
      "\xEF\xBF\xBD'";                // U+FFFD and the single quote
  EXPECT_EQ(quoted(kept), "\"" + kept + "\"");
}

#ifdef QUILLFEN_TEST_WITH_ICU
// ICU's answer to the two questions of the quoted form: the general category, Grapheme_Extend.
bool icu_escapes(char32_t cp) {
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

std::string utf8_of(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}
#endif

// The table against the ICU the engine used to ask at run time (ICU 72, Unicode 15.0 on
// Debian 12): every code point is classified alike, and every encodable one is quoted alike.
TEST(Quoted, EveryCodePointIsWrittenAsIcuOfTheSameUnicodeVersionWritesIt) {
#ifndef QUILLFEN_TEST_WITH_ICU
  GTEST_SKIP() << "built without ICU (libicu-dev), nothing to compare the table with";
#else
  UVersionInfo version;
  u_getUnicodeVersion(version);
  char icu_version[U_MAX_VERSION_STRING_LENGTH];
  u_versionToString(version, icu_version);
  const std::string table_version(escaped_code_points_unicode_version());
  // ICU writes "15.0", the table "15.0.0".
  if (table_version != icu_version && table_version != std::string(icu_version) + ".0") {
    GTEST_SKIP() << "ICU " << U_ICU_VERSION << " implements Unicode " << icu_version
                 << ", the table Unicode " << table_version;
  }
  std::size_t mismatches = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (is_escaped_code_point(cp) != icu_escapes(cp) && ++mismatches <= 10) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(cp);
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;  // not encodable in UTF-8
    const std::string text = utf8_of(cp);
    std::string expected;
    switch (cp) {
      case U'\\':
        expected = "\\\\";
        break;
      case U'"':
        expected = "\\\"";
        break;
      case U'\t':
        expected = "\\t";
        break;
      case U'\r':
        expected = "\\r";
        break;
      case U'\n':
        expected = "\\n";
        break;
      case U'\0':
        expected = "\\0";
        break;
      default:
        if (icu_escapes(cp)) {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(cp));
          expected = escape;
        } else {
          expected = text;
        }
    }
    if (quoted(text) != "\"" + expected + "\"" && ++mismatches <= 10) {
      ADD_FAILURE() << "quoted form of U+" << std::hex << static_cast<std::uint32_t>(cp);
    }
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_TRUE(is_escaped_code_point(0x110000));
#endif
}

TEST(Quoted, IllFormedBytesReadAsReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(quoted("a\xFF"
                   "b"),
            "\"a" + r + "b\"");
  EXPECT_EQ(quoted("\xE2\x82"), "\"" + r + "\"");  // truncated sequence: one
  EXPECT_EQ(quoted("\xE2\x82"
                   "A"),
            "\"" + r + "A\"");
  EXPECT_EQ(quoted("\xED\xA0\x80"), "\"" + r + r + r + "\"");          // encoded surrogate
  EXPECT_EQ(quoted("\xC0\xAF"), "\"" + r + r + "\"");                  // overlong
  EXPECT_EQ(quoted("\xF4\x90\x80\x80"), "\"" + r + r + r + r + "\"");  // above U+10FFFF
  EXPECT_EQ(quoted("\xF0\x9F\x98"), "\"" + r + "\"");
}

TEST(ErrorLine, IsOneCompactLineWithThreeKeys) {
  EXPECT_EQ(
      error_json_line("malformed-request", "schema must be a non-empty string"),
      R"({"schema":"quillfen-speaker-analyze-error-v1","reason":"malformed-request","detail":"schema must be a non-empty string"})");
  const std::string usage_detail =
      "Usage: quillfen-core-speakers-analyze < request.json > response.json\n"
      "       quillfen-core-speakers-analyze discovery-cluster < request.json > response.json"
      "; unexpected argument " +
      quoted("--help");
  EXPECT_EQ(
      error_json_line("usage", usage_detail),
      R"({"schema":"quillfen-speaker-analyze-error-v1","reason":"usage","detail":"Usage: quillfen-core-speakers-analyze < request.json > response.json\n       quillfen-core-speakers-analyze discovery-cluster < request.json > response.json; unexpected argument \"--help\""})");
}

TEST(ErrorLine, QuotedPathIsEscapedTwiceAndReadsBack) {
  const AnalyzeError e = AnalyzeError::audio_unreadable("/tmp/a\"b\nc", "gone\r\n");
  const std::string line = error_line_for_analyze_error(e);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\r'), std::string::npos);
  EXPECT_NE(line.find(R"(audio path \"/tmp/a\\\"b\\nc\" is unreadable: gone\r\n")"),
            std::string::npos)
      << line;
  auto back = json::parse(line);
  ASSERT_TRUE(back.has_value());
  const json::Object& document = back->as_object();
  ASSERT_EQ(document.size(), 3u);
  EXPECT_EQ(document.members()[0].first, "schema");
  EXPECT_EQ(document.members()[1].first, "reason");
  EXPECT_EQ(document.members()[2].first, "detail");
  EXPECT_EQ(document.find("schema")->as_string(), kErrorSchema);
  EXPECT_EQ(document.find("reason")->as_string(), "audio-unreadable");
  EXPECT_EQ(document.find("detail")->as_string(), e.detail());
}

}  // namespace
}  // namespace quillfen::analyze
