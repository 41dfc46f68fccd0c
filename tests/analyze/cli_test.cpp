// End-to-end tests of the engine executable: argument evaluation, standard input, request
// validation and the input checks before any model is loaded. Each compares standard
// output, standard error and the exit status byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "request_text.h"
#include "support/paths.h"

namespace quillfen::analyze {
namespace {

using quillfen::testing::run_engine;
using quillfen::testing::TempDir;
using testing::error_line;
using testing::RequestText;

constexpr const char* kUsage =
    "Usage: quillfen-core-speakers-analyze < request.json > response.json\n"
    "       quillfen-core-speakers-analyze discovery-cluster < request.json > response.json";

void expect_failure(const quillfen::testing::ProcessResult& result, int status,
                    const std::string& reason, const std::string& detail) {
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, error_line(reason, detail));
  EXPECT_EQ(result.status, status);
}

TEST(CommandLine, HelpFlagIsAUsageErrorWithTheExactLine) {
  const auto result = run_engine({"--help"}, "{}");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(
      result.err,
      R"({"schema":"quillfen-speaker-analyze-error-v1","reason":"usage","detail":"Usage: quillfen-core-speakers-analyze < request.json > response.json\n       quillfen-core-speakers-analyze discovery-cluster < request.json > response.json; unexpected argument \"--help\""})"
      "\n");
  EXPECT_EQ(result.status, 64);
}

TEST(CommandLine, UsageErrorsNameTheFirstArgument) {
  const std::string usage(kUsage);
  expect_failure(run_engine({"discovery-cluster", "extra"}, "{}"), 64, "usage",
                 usage + "; unexpected argument \"discovery-cluster\"");
  expect_failure(run_engine({""}, "{}"), 64, "usage", usage + "; unexpected argument \"\"");
  expect_failure(run_engine({"DISCOVERY-CLUSTER"}, "{}"), 64, "usage",
                 usage + "; unexpected argument \"DISCOVERY-CLUSTER\"");
  expect_failure(run_engine({"Discovery-cluster"}, "{}"), 64, "usage",
                 usage + "; unexpected argument \"Discovery-cluster\"");
  // Argument bytes that are not UTF-8 become U+FFFD; a quote in the argument is escaped.
  expect_failure(run_engine({"a\xFF"
                             "b\"c"},
                            "{}"),
                 64, "usage",
                 usage +
                     "; unexpected argument \"a\xEF\xBF\xBD"
                     "b\\\"c\"");
  // A tab is shown as \t inside the quoted argument.
  expect_failure(run_engine({"x\ty"}, "{}"), 64, "usage",
                 usage + "; unexpected argument \"x\\ty\"");
}

TEST(CommandLine, UsageErrorWinsOverStandardInputThatIsNotUtf8) {
  expect_failure(run_engine({"analyze"}, "\xFF\xFE"), 64, "usage",
                 std::string(kUsage) + "; unexpected argument \"analyze\"");
}

TEST(StandardInput, BytesThatAreNotUtf8AreAnInternalErrorForBothCommands) {
  const std::string detail = "failed to read stdin: stream did not contain valid UTF-8";
  expect_failure(run_engine({}, "{\"schema\":\"\xC3\x28\"}"), 75, "internal-error", detail);
  expect_failure(run_engine({"discovery-cluster"}, "\xED\xA0\x80"), 75, "internal-error", detail);
}

TEST(StandardInput, ReadErrorReportsTheSystemText) {
  // Standard input redirected from a directory: every read fails with EISDIR.
  const auto result = quillfen::testing::run_process(
      "/bin/sh", {"-c", "exec \"$0\" < /", quillfen::testing::engine_path().string()}, "");
  expect_failure(result, 75, "internal-error",
                 "failed to read stdin: Is a directory (os error 21)");
}

TEST(StandardInput, EmptyInputFailsInRequestParsing) {
  const std::string detail =
      "request body is not valid JSON: EOF while parsing a value at line 1 column 0";
  expect_failure(run_engine({}, ""), 64, "malformed-request", detail);
}

TEST(DiscoveryCommand, AnswersThatItIsNotAvailable) {
  expect_failure(run_engine({"discovery-cluster"}, "{}"), 75, "internal-error",
                 "discovery clustering is not available in this build");
}

struct ValidationCase {
  std::string name;
  std::string request;
  std::string reason;
  std::string detail;
};

std::string overwrite(const std::string& output, const std::string& input) {
  return output + " must not equal " + input +
         "; payload writes happen after analysis and would overwrite that path";
}

std::vector<ValidationCase> validation_cases() {
  const std::string span = R"({"statement_id":1})";
  return {
      {"array body", "[]", "malformed-request", "request body must be a JSON object"},
      {"schema missing", RequestText().drop("schema").str(), "malformed-request",
       "schema must be a non-empty string"},
      {"schema empty", RequestText().set_string("schema", "").str(), "malformed-request",
       "schema must be a non-empty string"},
      {"schema number", RequestText().set("schema", "1").str(), "malformed-request",
       "schema must be a non-empty string"},
      {"other schema",
       RequestText().set_string("schema", "quillfen-speaker-analyze-request-v2").str(),
       "unknown-schema",
       "request schema \"quillfen-speaker-analyze-request-v2\" is not "
       "\"quillfen-speaker-analyze-request-v1\""},
      {"discovery schema",
       RequestText().set_string("schema", "quillfen-speaker-discovery-cluster-request-v1").str(),
       "unknown-schema",
       "request schema \"quillfen-speaker-discovery-cluster-request-v1\" is not "
       "\"quillfen-speaker-analyze-request-v1\""},
      {"schema wins over rate",
       RequestText().set_string("schema", "x").set("sample_rate_hz", "\"a\"").str(),
       "unknown-schema", "request schema \"x\" is not \"quillfen-speaker-analyze-request-v1\""},
      {"rate float", RequestText().set("sample_rate_hz", "16000.0").str(), "malformed-request",
       "sample_rate_hz must be an integer"},
      {"rate negative", RequestText().set("sample_rate_hz", "-1").str(), "malformed-request",
       "sample_rate_hz must be an integer"},
      {"rate string", RequestText().set("sample_rate_hz", "\"16000\"").str(), "malformed-request",
       "sample_rate_hz must be an integer"},
      {"rate missing", RequestText().drop("sample_rate_hz").str(), "malformed-request",
       "sample_rate_hz must be an integer"},
      {"rate beyond u64", RequestText().set("sample_rate_hz", "18446744073709551616").str(),
       "malformed-request", "sample_rate_hz must be an integer"},
      {"rate beyond u32", RequestText().set("sample_rate_hz", "4294967296").str(),
       "malformed-request", "sample_rate_hz is out of range for u32"},
      {"full audio missing", RequestText().drop("full_audio_f32le_path").str(), "malformed-request",
       "full_audio_f32le_path must be a non-empty string"},
      {"full audio null", RequestText().set("full_audio_f32le_path", "null").str(),
       "malformed-request", "full_audio_f32le_path must be a non-empty string"},
      {"reduced audio empty", RequestText().set_string("reduced_audio_f32le_path", "").str(),
       "malformed-request", "reduced_audio_f32le_path must be a non-empty string or null"},
      {"reduced audio number", RequestText().set("reduced_audio_f32le_path", "7").str(),
       "malformed-request", "reduced_audio_f32le_path must be a non-empty string or null"},
      {"output missing", RequestText().drop("output_payload_f32le_path").str(), "malformed-request",
       "output_payload_f32le_path must be a non-empty string"},
      {"interval empty",
       RequestText().set_string("interval_embedding_payload_f32le_path", "").str(),
       "malformed-request",
       "interval_embedding_payload_f32le_path must be a non-empty string or null"},
      {"models missing", RequestText().drop("models").str(), "malformed-request",
       "models must be an object"},
      {"models array", RequestText().set("models", "[]").str(), "malformed-request",
       "models must be an object"},
      {"pyannote missing",
       RequestText().set("models", R"({"wespeaker_onnx_path":"/m/e.onnx"})").str(),
       "malformed-request", "pyannote_segmentation_onnx_path must be a non-empty string"},
      {"wespeaker empty", RequestText().models("/m/s.onnx", "").str(), "malformed-request",
       "wespeaker_onnx_path must be a non-empty string"},
      {"output equals full audio",
       RequestText().set_string("output_payload_f32le_path", "/data/full.f32").str(),
       "malformed-request", overwrite("output_payload_f32le_path", "full_audio_f32le_path")},
      {"output equals full audio by components",
       RequestText()
           .set_string("full_audio_f32le_path", "out/a.f32")
           .set_string("output_payload_f32le_path", "out//./a.f32/")
           .str(),
       "malformed-request", overwrite("output_payload_f32le_path", "full_audio_f32le_path")},
      {"output equals reduced audio",
       RequestText()
           .set_string("reduced_audio_f32le_path", "/data/r.f32")
           .set_string("output_payload_f32le_path", "/data/r.f32")
           .str(),
       "malformed-request", overwrite("output_payload_f32le_path", "reduced_audio_f32le_path")},
      {"output equals pyannote model",
       RequestText().set_string("output_payload_f32le_path", "/models/seg.onnx").str(),
       "malformed-request",
       overwrite("output_payload_f32le_path", "models.pyannote_segmentation_onnx_path")},
      {"interval equals wespeaker model",
       RequestText().set_string("interval_embedding_payload_f32le_path", "/models/emb.onnx").str(),
       "malformed-request",
       overwrite("interval_embedding_payload_f32le_path", "models.wespeaker_onnx_path")},
      {"interval equals output",
       RequestText()
           .set_string("interval_embedding_payload_f32le_path", "/data//statements.f32")
           .str(),
       "malformed-request",
       overwrite("output_payload_f32le_path", "interval_embedding_payload_f32le_path")},
      {"interval conflict with an input wins over the output pair",
       RequestText()
           .set_string("output_payload_f32le_path", "/data/x.f32")
           .set_string("interval_embedding_payload_f32le_path", "/data/full.f32")
           .set_string("reduced_audio_f32le_path", "/data/x.f32")
           .str(),
       "malformed-request", overwrite("output_payload_f32le_path", "reduced_audio_f32le_path")},
      {"conflict wins over missing diarization",
       RequestText()
           .set_string("output_payload_f32le_path", "/data/full.f32")
           .drop("diarization")
           .str(),
       "malformed-request", overwrite("output_payload_f32le_path", "full_audio_f32le_path")},
      {"statement embedding missing", RequestText().drop("statement_embedding").str(),
       "malformed-request", "statement_embedding must be an object"},
      {"diarization not an object", RequestText().set("diarization", "[]").str(),
       "malformed-request", "diarization must be an object"},
      {"spans missing", RequestText().set("statement_embedding", "{}").str(), "malformed-request",
       "statement_embedding.spans must be an array"},
      {"span not an object", RequestText().spans("[" + span + ",2]", "[]").str(),
       "malformed-request", "statement_embedding.spans[1] must be an object"},
      {"statement id float", RequestText().spans(R"([{"statement_id":3.0}])", "[]").str(),
       "malformed-request", "statement_embedding.spans[0].statement_id must be an integer"},
      {"statement id beyond i64",
       RequestText().spans(R"([{"statement_id":9223372036854775808}])", "[]").str(),
       "malformed-request", "statement_embedding.spans[0].statement_id must be an integer"},
      {"statement id missing", RequestText().spans(R"([{"start_s":1}])", "[]").str(),
       "malformed-request", "statement_embedding.spans[0].statement_id must be an integer"},
      {"diarization span bad", RequestText().spans("[]", R"([{"statement_id":"1"}])").str(),
       "malformed-request", "diarization.spans[0].statement_id must be an integer"},
      {"statement spans checked before diarization spans", RequestText().spans("[1]", "[2]").str(),
       "malformed-request", "statement_embedding.spans[0] must be an object"},
      {"span lengths differ",
       RequestText()
           .spans(R"([{"statement_id":1},{"statement_id":2}])",
                  R"([{"statement_id":1},{"statement_id":2},{"statement_id":3}])")
           .str(),
       "malformed-request",
       "statement_embedding.spans length 2 does not match diarization.spans length 3"},
      {"span ids differ",
       RequestText()
           .spans(R"([{"statement_id":1},{"statement_id":2}])",
                  R"([{"statement_id":1},{"statement_id":5}])")
           .str(),
       "malformed-request",
       "statement id mismatch at index 1: statement_embedding has 2, diarization has 5"},
      {"negative span ids differ",
       RequestText()
           .spans(R"([{"statement_id":-7}])", R"([{"statement_id":-9223372036854775808}])")
           .str(),
       "malformed-request",
       "statement id mismatch at index 0: statement_embedding has -7, diarization has "
       "-9223372036854775808"},
  };
}

TEST(RequestValidation, EachRuleReportsItsMessageInOrder) {
  for (const ValidationCase& c : validation_cases()) {
    SCOPED_TRACE(c.name);
    expect_failure(run_engine({}, c.request), 64, c.reason, c.detail);
  }
}

// A valid request over real files; rate and paths adjustable per test.
class InputChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    quillfen::testing::write_floats(full_, {0.0f, 0.5f, -1.5f, 2.0f});
    quillfen::testing::write_file(seg_, "not really onnx");
    quillfen::testing::write_file(emb_, "not really onnx");
    request_.set_string("full_audio_f32le_path", full_.string())
        .set_string("output_payload_f32le_path", (dir_ / "out.f32").string())
        .models(seg_.string(), emb_.string());
  }

  quillfen::testing::ProcessResult run() { return run_engine({}, request_.str()); }

  TempDir dir_;
  std::filesystem::path full_ = dir_ / "full.f32";
  std::filesystem::path seg_ = dir_ / "seg.onnx";
  std::filesystem::path emb_ = dir_ / "emb.onnx";
  RequestText request_;
};

TEST_F(InputChecks, PassingInputChecksReachesModelLoading) {
  expect_failure(run(), 69, "model-invalid",
                 "pyannote_segmentation_onnx_path could not be opened as an ONNX model: speaker "
                 "ONNX Runtime error: Load model from " +
                     seg_.string() + " failed:Protobuf parsing failed.");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.f32"));
}

TEST_F(InputChecks, UnsupportedRateWinsBeforeAnyFileIsOpened) {
  request_.set("sample_rate_hz", "44100")
      .set_string("full_audio_f32le_path", (dir_ / "nope").string());
  expect_failure(run(), 69, "unsupported-sample-rate",
                 "unsupported sample rate: expected 16000, got 44100");
  request_.set("sample_rate_hz", "0");
  expect_failure(run(), 69, "unsupported-sample-rate",
                 "unsupported sample rate: expected 16000, got 0");
}

TEST_F(InputChecks, AudioFileFailures) {
  const std::string path = (dir_ / "a b.f32").string();
  request_.set_string("full_audio_f32le_path", path);

  quillfen::testing::write_file(path, "abcdef");
  expect_failure(run(), 69, "audio-invalid",
                 "audio path \"" + path +
                     "\" is not raw little-endian f32 mono: byte length 6 is not divisible by 4");

  quillfen::testing::write_floats(path, {0.0f, 1.0f, 2.0f, std::numeric_limits<float>::quiet_NaN(),
                                         std::numeric_limits<float>::infinity()});
  expect_failure(run(), 69, "audio-non-finite",
                 "audio path \"" + path + "\" contains non-finite sample at index 3");

  std::filesystem::remove(path);
  expect_failure(
      run(), 69, "audio-unreadable",
      "audio path \"" + path + "\" is unreadable: No such file or directory (os error 2)");

  request_.set_string("full_audio_f32le_path", dir_.path().string());
  expect_failure(
      run(), 69, "audio-unreadable",
      "audio path \"" + dir_.path().string() + "\" is unreadable: Is a directory (os error 21)");
}

TEST_F(InputChecks, EmptyAudioFilePassesTheAudioChecks) {
  quillfen::testing::write_file(full_, "");
  request_.models(seg_.string(), (dir_ / "missing.onnx").string());
  expect_failure(run(), 69, "model-unreadable",
                 "wespeaker_onnx_path is missing or unreadable at \"" +
                     (dir_ / "missing.onnx").string() + "\"; provide a readable ONNX model path");
}

TEST_F(InputChecks, FullAudioIsReadBeforeReducedAudio) {
  const std::string reduced = (dir_ / "reduced.f32").string();
  request_.set_string("reduced_audio_f32le_path", reduced);
  expect_failure(
      run(), 69, "audio-unreadable",
      "audio path \"" + reduced + "\" is unreadable: No such file or directory (os error 2)");
  request_.set_string("full_audio_f32le_path", (dir_ / "gone.f32").string());
  expect_failure(run(), 69, "audio-unreadable",
                 "audio path \"" + (dir_ / "gone.f32").string() +
                     "\" is unreadable: No such file or directory (os error 2)");
  quillfen::testing::write_file(reduced, "12345");
  request_.set_string("full_audio_f32le_path", full_.string());
  expect_failure(run(), 69, "audio-invalid",
                 "audio path \"" + reduced +
                     "\" is not raw little-endian f32 mono: byte length 5 is not divisible by 4");
}

TEST_F(InputChecks, ModelPathChecksNamePyannoteFirst) {
  const std::string missing_seg = (dir_ / "seg-missing.onnx").string();
  const std::string missing_emb = (dir_ / "emb-missing.onnx").string();
  request_.models(missing_seg, missing_emb);
  expect_failure(run(), 69, "model-unreadable",
                 "pyannote_segmentation_onnx_path is missing or unreadable at \"" + missing_seg +
                     "\"; provide a readable ONNX model path");
  // A directory is not a regular file.
  request_.models(seg_.string(), dir_.path().string());
  expect_failure(run(), 69, "model-unreadable",
                 "wespeaker_onnx_path is missing or unreadable at \"" + dir_.path().string() +
                     "\"; provide a readable ONNX model path");
  // Audio errors win over model-path errors.
  request_.models(missing_seg, missing_emb).set_string("full_audio_f32le_path", missing_emb);
  expect_failure(
      run(), 69, "audio-unreadable",
      "audio path \"" + missing_emb + "\" is unreadable: No such file or directory (os error 2)");
}

TEST_F(InputChecks, ModelPathFollowsSymbolicLinks) {
  std::filesystem::create_symlink(seg_, dir_ / "seg-link.onnx");
  std::filesystem::create_symlink(dir_ / "nowhere", dir_ / "dangling.onnx");
  request_.models((dir_ / "seg-link.onnx").string(), (dir_ / "dangling.onnx").string());
  expect_failure(run(), 69, "model-unreadable",
                 "wespeaker_onnx_path is missing or unreadable at \"" +
                     (dir_ / "dangling.onnx").string() + "\"; provide a readable ONNX model path");
}

TEST_F(InputChecks, PathWithNulIsNeverTruncated) {
  // full.f32 exists, so a truncated "full.f32\0x" would open it.
  request_.set("full_audio_f32le_path", "\"" + full_.string() + "\\u0000x\"");
  expect_failure(run(), 69, "audio-unreadable",
                 "audio path \"" + full_.string() +
                     "\\0x\" is unreadable: file name contained an unexpected NUL byte");
  request_.set_string("full_audio_f32le_path", full_.string());
  request_.set("models", R"({"pyannote_segmentation_onnx_path":")" + seg_.string() +
                             R"(\u0000","wespeaker_onnx_path":")" + emb_.string() + "\"}");
  expect_failure(run(), 69, "model-unreadable",
                 "pyannote_segmentation_onnx_path is missing or unreadable at \"" + seg_.string() +
                     "\\0\"; provide a readable ONNX model path");
}

}  // namespace
}  // namespace quillfen::analyze
