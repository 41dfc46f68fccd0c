// End-to-end tests of the engine executable: argument evaluation, standard input, request
// validation and the input checks before any model is loaded. Each compares standard
// output, standard error and the exit status byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "request_text.h"
#include "support/paths.h"

namespace quillfen::analyze {
namespace {

using quillfen::testing::ProcessResult;
using quillfen::testing::run_engine;
using testing::error_line;
using testing::RequestText;

const std::string kUsage =
    "Usage: quillfen-core-speakers-analyze < request.json > response.json\n"
    "       quillfen-core-speakers-analyze discovery-cluster < request.json > response.json";

void expect_failure(const ProcessResult& result, int status, const std::string& reason,
                    const std::string& detail) {
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, error_line(reason, detail));
  EXPECT_EQ(result.status, status);
}

TEST(CommandLine, UsageErrors) {
  const auto help = run_engine({"--help"}, "{}");
  EXPECT_EQ(
      help.err,
      R"({"schema":"quillfen-speaker-analyze-error-v1","reason":"usage","detail":"Usage: quillfen-core-speakers-analyze < request.json > response.json\n       quillfen-core-speakers-analyze discovery-cluster < request.json > response.json; unexpected argument \"--help\""})"
      "\n");
  EXPECT_EQ(help.out, "");
  EXPECT_EQ(help.status, 64);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"discovery-cluster", "extra"}, "\"discovery-cluster\""},
      {{""}, "\"\""},
      {{"DISCOVERY-CLUSTER"}, "\"DISCOVERY-CLUSTER\""},
      // Bytes that are not UTF-8 become U+FFFD; quote and tab are escaped in the quoted form.
      {{"a\xFF\"\t"}, "\"a\xEF\xBF\xBD\\\"\\t\""},
  };
  for (const auto& [args, quoted] : cases) {
    // The arguments are evaluated before standard input is read.
    expect_failure(run_engine(args, "\xFF"), 64, "usage",
                   kUsage + "; unexpected argument " + quoted);
  }
}

TEST(StandardInput, FailuresBeforeAnyCommandRuns) {
  const std::string not_utf8 = "failed to read stdin: stream did not contain valid UTF-8";
  expect_failure(run_engine({}, "{\"schema\":\"\xC3\x28\"}"), 75, "internal-error", not_utf8);
  expect_failure(run_engine({"discovery-cluster"}, "\xED\xA0\x80"), 75, "internal-error", not_utf8);
  // Standard input redirected from a directory: every read fails with EISDIR.
  expect_failure(quillfen::testing::run_process(
                     "/bin/sh", {"-c", "exec \"$0\" < /", quillfen::testing::engine_path()}, ""),
                 75, "internal-error", "failed to read stdin: Is a directory (os error 21)");
  expect_failure(run_engine({}, ""), 64, "malformed-request",
                 "request body is not valid JSON: EOF while parsing a value at line 1 column 0");
  expect_failure(run_engine({"discovery-cluster"}, "{}"), 64, "malformed-request",
                 "schema must be a non-empty string");
}

std::string overwrite(const std::string& output, const std::string& input) {
  return output + " must not equal " + input +
         "; payload writes happen after analysis and would overwrite that path";
}

TEST(RequestValidation, EachRuleReportsItsMessageInOrder) {
  using R = RequestText;
  const std::string m = "malformed-request", full = "full_audio_f32le_path",
                    reduced = "reduced_audio_f32le_path", out = "output_payload_f32le_path",
                    interval = "interval_embedding_payload_f32le_path";
  const std::string two = R"([{"statement_id":1},{"statement_id":2}])";
  const std::vector<std::vector<std::string>> cases = {
      // request, reason, detail
      {"[]", m, "request body must be a JSON object"},
      {R().drop("schema").text(), m, "schema must be a non-empty string"},
      {R().str("schema", "x").set("sample_rate_hz", "1.5").text(), "unknown-schema",
       "request schema \"x\" is not \"quillfen-speaker-analyze-request-v1\""},
      {R().set("sample_rate_hz", "16000.0").text(), m, "sample_rate_hz must be an integer"},
      {R().set("sample_rate_hz", "-1").text(), m, "sample_rate_hz must be an integer"},
      {R().set("sample_rate_hz", "4294967296").text(), m, "sample_rate_hz is out of range for u32"},
      {R().set(full, "null").text(), m, full + " must be a non-empty string"},
      {R().str(reduced, "").text(), m, reduced + " must be a non-empty string or null"},
      {R().drop(out).text(), m, out + " must be a non-empty string"},
      {R().set(interval, "1").text(), m, interval + " must be a non-empty string or null"},
      {R().set("models", "[]").text(), m, "models must be an object"},
      {R().set("models", R"({"wespeaker_onnx_path":"e"})").text(), m,
       "pyannote_segmentation_onnx_path must be a non-empty string"},
      {R().models("s", "").text(), m, "wespeaker_onnx_path must be a non-empty string"},
      {R().str(out, "/data/full.f32").text(), m, overwrite(out, full)},
      {R().str(full, "out/a.f32").str(out, "out//./a.f32/").text(), m, overwrite(out, full)},
      {R().str(reduced, "r").str(out, "r").text(), m, overwrite(out, reduced)},
      {R().str(out, "/models/seg.onnx").text(), m,
       overwrite(out, "models.pyannote_segmentation_onnx_path")},
      {R().str(interval, "/models/emb.onnx").text(), m,
       overwrite(interval, "models.wespeaker_onnx_path")},
      {R().str(interval, "/data//statements.f32").text(), m, overwrite(out, interval)},
      // Both outputs are compared with the inputs before they are compared with each other.
      {R().str(out, "/x").str(interval, "/x").str(reduced, "/x").text(), m,
       overwrite(out, reduced)},
      {R().str(out, "/data/full.f32").drop("diarization").text(), m, overwrite(out, full)},
      {R().drop("statement_embedding").text(), m, "statement_embedding must be an object"},
      {R().set("diarization", "[]").text(), m, "diarization must be an object"},
      {R().set("statement_embedding", "{}").text(), m,
       "statement_embedding.spans must be an array"},
      {R().spans(R"([{"statement_id":1},2])", "[]").text(), m,
       "statement_embedding.spans[1] must be an object"},
      {R().spans(R"([{"statement_id":3.0}])", "[]").text(), m,
       "statement_embedding.spans[0].statement_id must be an integer"},
      {R().spans(R"([{"statement_id":9223372036854775808}])", "[]").text(), m,
       "statement_embedding.spans[0].statement_id must be an integer"},
      {R().spans("[]", R"([{"start_s":1}])").text(), m,
       "diarization.spans[0].statement_id must be an integer"},
      {R().spans(two, R"([{"statement_id":1},{"statement_id":2},{"statement_id":3}])").text(), m,
       "statement_embedding.spans length 2 does not match diarization.spans length 3"},
      {R().spans(two, R"([{"statement_id":1},{"statement_id":5}])").text(), m,
       "statement id mismatch at index 1: statement_embedding has 2, diarization has 5"},
      {R().spans(R"([{"statement_id":-7}])", R"([{"statement_id":7}])").text(), m,
       "statement id mismatch at index 0: statement_embedding has -7, diarization has 7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    expect_failure(run_engine({}, c[0]), 64, c[1], c[2]);
  }
}

// A valid request over real files in a scratch directory.
class InputChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    quillfen::testing::write_floats(full_, {0.0f, 0.5f, -1.5f, 2.0f});
    quillfen::testing::write_file(seg_, "model bytes");
    quillfen::testing::write_file(emb_, "model bytes");
    request_.str("full_audio_f32le_path", full_)
        .str("output_payload_f32le_path", dir_ / "out.f32")
        .models(seg_, emb_);
  }
  void expect(int status, const std::string& reason, const std::string& detail) {
    expect_failure(run_engine({}, request_.text()), status, reason, detail);
  }
  std::string unreadable(const std::string& path, const std::string& cause) {
    return "audio path \"" + path + "\" is unreadable: " + cause;
  }
  std::string model(const std::string& key, const std::string& path) {
    return key + " is missing or unreadable at \"" + path +
           "\"; provide a readable ONNX model path";
  }

  quillfen::testing::TempDir dir_;
  std::string full_ = dir_ / "full.f32", seg_ = dir_ / "seg.onnx", emb_ = dir_ / "emb.onnx";
  std::string missing_ = dir_ / "missing";
  RequestText request_;
};

TEST_F(InputChecks, PassingInputChecksReachesModelLoading) {
  expect(69, "model-invalid",
         "pyannote_segmentation_onnx_path could not be opened as an ONNX model: speaker ONNX "
         "Runtime error: Load model from " +
             seg_ + " failed:Protobuf parsing failed.");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.f32"));
}

TEST_F(InputChecks, AudioFailuresInStageOrder) {
  // The rate is refused before any file is opened; audio errors win over model-path errors.
  request_.models(missing_, missing_);
  request_.set("sample_rate_hz", "44100").str("full_audio_f32le_path", missing_);
  expect(69, "unsupported-sample-rate", "unsupported sample rate: expected 16000, got 44100");
  request_.set("sample_rate_hz", "16000").str("reduced_audio_f32le_path", dir_ / "r.f32");
  expect(69, "audio-unreadable", unreadable(missing_, "No such file or directory (os error 2)"));
  request_.str("full_audio_f32le_path", dir_.path());
  expect(69, "audio-unreadable", unreadable(dir_.path(), "Is a directory (os error 21)"));

  // A quote in the path is escaped in the quoted form, and again in the JSON line.
  const std::string dir = dir_.path(), path = dir + "/a \"b\".f32";
  const std::string quoted = "\"" + dir + "/a \\\"b\\\".f32\"";
  request_.drop("reduced_audio_f32le_path").set("full_audio_f32le_path", quoted);
  quillfen::testing::write_file(path, "abcdef");
  expect(69, "audio-invalid",
         "audio path " + quoted +
             " is not raw little-endian f32 mono: byte length 6 is not divisible by 4");
  const float nan = std::numeric_limits<float>::quiet_NaN();
  quillfen::testing::write_floats(path, {0, 1, 2, nan, std::numeric_limits<float>::infinity()});
  expect(69, "audio-non-finite", "audio path " + quoted + " contains non-finite sample at index 3");

  // The reduced audio is read after the full audio; an empty full audio passes.
  quillfen::testing::write_file(full_, "");
  request_.str("full_audio_f32le_path", full_).str("reduced_audio_f32le_path", missing_);
  expect(69, "audio-unreadable", unreadable(missing_, "No such file or directory (os error 2)"));
}

TEST_F(InputChecks, ModelPathChecksNamePyannoteFirst) {
  request_.models(missing_, missing_ + "2");
  expect(69, "model-unreadable", model("pyannote_segmentation_onnx_path", missing_));
  request_.models(seg_, dir_.path());  // a directory is not a regular file
  expect(69, "model-unreadable", model("wespeaker_onnx_path", dir_.path()));
  std::filesystem::create_symlink(seg_, dir_ / "link");  // links are followed
  std::filesystem::create_symlink(missing_, dir_ / "dangling");
  request_.models(dir_ / "link", dir_ / "dangling");
  expect(69, "model-unreadable", model("wespeaker_onnx_path", dir_ / "dangling"));
}

TEST_F(InputChecks, PathWithNulIsNeverTruncated) {
  // The truncated texts would name existing files.
  request_.set("full_audio_f32le_path", "\"" + full_ + "\\u0000x\"");
  expect(69, "audio-unreadable",
         unreadable(full_ + "\\0x", "file name contained an unexpected NUL byte"));
  request_.str("full_audio_f32le_path", full_).models(seg_ + "\\u0000", emb_);
  expect(69, "model-unreadable", model("pyannote_segmentation_onnx_path", seg_ + "\\0"));
}

}  // namespace
}  // namespace quillfen::analyze
