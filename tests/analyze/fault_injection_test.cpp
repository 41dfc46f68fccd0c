// The engine under hostile conditions, run as a separate process: file-size and memory limits,
// standard streams closed or full, unwritable output paths, damaged model files, texts from
// model files that are not UTF-8, and audio streamed through pipes. Every run must end with
// exactly one line on the stream of its status; failed runs leave every output file that
// already existed byte for byte as it was (except the payload being written when a payload
// write fails, which the error line says must not be trusted).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "analyze/json.h"
#include "request_text.h"
#include "speakers/utf8_text.h"
#include "support/paths.h"

namespace quillfen::analyze {
namespace {

namespace fs = std::filesystem;
using quillfen::testing::ProcessOptions;
using quillfen::testing::ProcessResult;
using quillfen::testing::read_file;
using quillfen::testing::run_engine;
using quillfen::testing::StreamSetup;
using quillfen::testing::write_file;
using quillfen::testing::write_floats;
using testing::error_line;

constexpr std::uint64_t kMiB = 1024 * 1024;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// The sanitizer runtime reserves terabytes of address space: a limit on it stops the
// process before it starts. It also reads /proc itself (the executable's name, the threads).
constexpr bool kAddressSpaceLimitsWork = !kSanitized;
constexpr bool kRunsWithoutProc = !kSanitized;

std::string model(const std::string& name) { return quillfen::testing::test_models_dir() / name; }

// Five statements of two seconds each: a payload of 5 x 256 x 4 = 5120 bytes.
const std::string kFiveStatements =
    R"([{"statement_id":1,"start_s":0.0,"end_s":2.0},{"statement_id":2,"start_s":2.0,"end_s":4.0},)"
    R"({"statement_id":3,"start_s":4.0,"end_s":6.0},{"statement_id":4,"start_s":6.0,"end_s":8.0},)"
    R"({"statement_id":5,"start_s":8.0,"end_s":10.0}])";

void expect_error(const ProcessResult& result, int status, const std::string& reason,
                  const std::string& detail) {
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, error_line(reason, detail));
  EXPECT_EQ(result.status, status);
}

std::string unwritable(const std::string& path, const std::string& cause) {
  return "output payload path \"" + path + "\" is unwritable: " + cause +
         "; non-zero exit means payloads must not be trusted";
}

// A scratch directory with a 12-second recording at one speaker's level, the two test models
// and output files that already hold earlier content.
class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    write_floats(audio_, std::vector<float>(12 * 16000, 0.1f));
    write_file(statements_, kOldStatements);
    write_file(intervals_, kOldIntervals);
    request_.str("full_audio_f32le_path", audio_)
        .str("output_payload_f32le_path", statements_)
        .str("interval_embedding_payload_f32le_path", intervals_)
        .models(model("segmentation.onnx"), model("embedding.onnx"))
        .spans(kFiveStatements, kFiveStatements);
  }

  // The output files still hold what they held before the run.
  void expect_outputs_untouched() {
    EXPECT_TRUE(read_file(statements_) == kOldStatements) << "the statement payload changed";
    EXPECT_TRUE(read_file(intervals_) == kOldIntervals) << "the interval payload changed";
  }

  ProcessResult analyze(const ProcessOptions& options = {}) {
    return run_engine({}, request_.text(), options);
  }

  // The complete response and statement payload of the request without any fault.
  std::pair<std::string, std::string> clean_run() {
    const ProcessResult result = analyze();
    EXPECT_EQ(result.status, 0) << result.err;
    std::pair<std::string, std::string> clean{result.out, read_file(statements_)};
    write_file(statements_, kOldStatements);
    return clean;
  }

  const std::string kOldStatements = "statements of an earlier run";
  const std::string kOldIntervals = "intervals of an earlier run";
  quillfen::testing::TempDir dir_;
  std::string audio_ = dir_ / "full.f32", statements_ = dir_ / "statements.f32",
              intervals_ = dir_ / "intervals.f32";
  testing::RequestText request_;
};

std::string discovery_request(const std::string& path, std::uint64_t rows, std::uint64_t cols) {
  return R"({"schema":"quillfen-speaker-discovery-cluster-request-v1","embeddings_f32le_path":")" +
         path + R"(","shape":[)" + std::to_string(rows) + "," + std::to_string(cols) +
         R"(],"payload_format":"raw-f32le-row-major-v1","dtype":"float32-le",)"
         R"("min_cluster_size":2,"min_samples":1})";
}

// rows one-hot rows of cols values: unit length exactly.
std::vector<float> one_hot_rows(std::size_t rows, std::size_t cols) {
  std::vector<float> values(rows * cols, 0.0f);
  for (std::size_t r = 0; r < rows; ++r) values[r * cols + r % cols] = 1.0f;
  return values;
}

// ---------------------------------------------------------------------------------------
// A file-size limit: the write fails with EFBIG instead of the process dying by SIGXFSZ.

TEST_F(Faults, FileSizeLimitOnAPayloadEndsAsOutputUnwritable) {
  const auto [response, payload] = clean_run();
  ASSERT_EQ(payload.size(), 5120u);
  const ProcessResult result = analyze(ProcessOptions().limit(RLIMIT_FSIZE, 2048));
  expect_error(result, 75, "output-unwritable",
               unwritable(statements_, "File too large (os error 27)"));
  // The payload stops at the limit; one speaker, so the interval path is never opened.
  EXPECT_TRUE(read_file(statements_) == payload.substr(0, 2048));
  EXPECT_EQ(read_file(intervals_), kOldIntervals);
}

TEST_F(Faults, FileSizeLimitOnTheResponseEndsAsInternalError) {
  // No statement: the payload is empty and fits under any limit; the response does not.
  request_.spans("[]", "[]");
  const auto [response, payload] = clean_run();
  ASSERT_GT(response.size(), 512u);
  const std::string stdout_file = dir_ / "response.json";
  const ProcessResult result =
      analyze(ProcessOptions().limit(RLIMIT_FSIZE, 512).stdout_to(StreamSetup::file(stdout_file)));
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.err, error_line("internal-error",
                                   "failed to write response: File too large (os error 27)"));
  EXPECT_EQ(result.status, 75);
  // The part of the response that fitted is taken back: the file keeps what it held before.
  EXPECT_EQ(read_file(stdout_file), "");
  write_file(stdout_file, "earlier lines\n");
  EXPECT_EQ(analyze(ProcessOptions()
                        .limit(RLIMIT_FSIZE, 512)
                        .stdout_to(StreamSetup::appended_to(stdout_file)))
                .status,
            75);
  EXPECT_EQ(read_file(stdout_file), "earlier lines\n");

  // The same for discovery-cluster, which writes no payload.
  const std::string rows = dir_ / "rows.f32";
  write_floats(rows, one_hot_rows(200, 4));
  const ProcessResult discovery =
      run_engine({"discovery-cluster"}, discovery_request(rows, 200, 4),
                 ProcessOptions().limit(RLIMIT_FSIZE, 100).stdout_to(StreamSetup::file(stdout_file)));
  EXPECT_EQ(discovery.err, error_line("internal-error",
                                      "failed to write response: File too large (os error 27)"));
  EXPECT_EQ(discovery.status, 75);
  EXPECT_EQ(fs::file_size(stdout_file), 0u);
}

// ---------------------------------------------------------------------------------------
// Out of memory: one internal-error line, never the runtime's abort.

// The smallest address-space limit (in steps of one MiB) under which the run succeeds.
rlim_t smallest_working_address_space(const std::vector<std::string>& args,
                                      const std::string& request) {
  const auto works = [&](rlim_t limit) {
    return run_engine(args, request, ProcessOptions().limit(RLIMIT_AS, limit)).status == 0;
  };
  rlim_t low = 8 * kMiB, high = 4096 * kMiB;
  if (!works(high)) return 0;
  while (high - low > kMiB) {
    const rlim_t middle = low + (high - low) / 2;
    (works(middle) ? high : low) = middle;
  }
  return high;
}

constexpr const char* kOutOfMemory = "out of memory";

TEST_F(Faults, OutOfMemoryWhileReadingAudioOrStandardInput) {
  if (!kAddressSpaceLimitsWork) GTEST_SKIP() << "address-space limits do not work under sanitizers";
  const rlim_t base = smallest_working_address_space({}, request_.text());
  ASSERT_GT(base, 0u);
  write_file(statements_, kOldStatements);
  const ProcessOptions limited = ProcessOptions().limit(RLIMIT_AS, base + 128 * kMiB);

  // An audio file without end: the buffer grows until allocation fails.
  request_.str("full_audio_f32le_path", "/dev/zero");
  expect_error(analyze(limited), 75, "internal-error", kOutOfMemory);
  expect_outputs_untouched();

  // Standard input without end, for both commands.
  ProcessOptions endless_input = limited;
  endless_input.stdin_from("/dev/zero");
  expect_error(run_engine({}, "", endless_input), 75, "internal-error", kOutOfMemory);
  expect_error(run_engine({"discovery-cluster"}, "", endless_input), 75, "internal-error",
               kOutOfMemory);
}

// Under every address-space limit from the smallest working one down to where the libraries
// cannot load or initialise (before the engine's code runs), the run ends with exactly one line
// on one stream: messages the runtime library writes of its own (as "Schema error:
// std::bad_alloc" while it registers its operators) never reach the caller, nor do the ways the
// runtime's threads end the process when an allocation fails (glibc's "failed to register TLS
// destructor" abort, a null pointer of the runtime's own): those end as "stopped by fatal
// signal". (Which limits work is not monotonic: some below the smallest one found by bisection
// work too.)
TEST_F(Faults, EveryAddressSpaceLimitGivesOneLine) {
  if (!kAddressSpaceLimitsWork) GTEST_SKIP() << "address-space limits do not work under sanitizers";
  const rlim_t base = smallest_working_address_space({}, request_.text());
  ASSERT_GT(base, 16 * kMiB);
  const auto one_line = [](const std::string& text, std::string_view schema) {
    return std::count(text.begin(), text.end(), '\n') == 1 &&
           text.starts_with(R"({"schema":")" + std::string(schema) + R"(",)") &&
           text.ends_with("}\n");
  };
  int error_runs = 0;
  for (rlim_t limit = base - kMiB / 4; limit > base - 16 * kMiB; limit -= kMiB / 4) {
    const ProcessResult result = analyze(ProcessOptions().limit(RLIMIT_AS, limit));
    // The floor: the loader could not map the libraries, or the runtime library's own static
    // initialisation ran out of memory, both before the engine's code runs.
    if (result.status == 127) break;
    if (result.signal == SIGABRT && result.err == "terminate called without an active exception\n")
      break;
    SCOPED_TRACE(::testing::Message() << "limit " << limit << " bytes, status " << result.status
                                      << ", stderr: " << result.err);
    ASSERT_EQ(result.signal, 0);
    if (result.status == 0) {
      EXPECT_TRUE(one_line(result.out, "quillfen-speaker-analyze-response-v1"));
      EXPECT_EQ(result.err, "");
      continue;
    }
    EXPECT_TRUE(result.status == 69 || result.status == 75);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(one_line(result.err, "quillfen-speaker-analyze-error-v1"));
    ++error_runs;
  }
  EXPECT_GT(error_runs, 4);
}

// A fatal signal ends the run with one line of its own, whatever the run was doing: here the
// engine waits for audio from a FIFO (the shell opens the FIFO for writing only once the engine
// has opened it, so the signal comes during the run).
TEST_F(Faults, FatalSignalDuringARunEndsInOneLine) {
  if (!kAddressSpaceLimitsWork) GTEST_SKIP() << "the sanitizer runtimes handle these signals";
  const std::string fifo = dir_ / "audio.fifo", request = dir_ / "request.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  request_.str("full_audio_f32le_path", fifo);
  write_file(request, request_.text());
  for (const std::string name : {"SEGV", "ABRT", "BUS"}) {
    const ProcessResult result = quillfen::testing::run_process(
        "/bin/sh",
        {"-c", R"("$0" <"$1" & engine=$!; exec 3>"$2"; kill -"$3" $engine; wait $engine)",
         quillfen::testing::engine_path(), request, fifo, name},
        "");
    expect_error(result, 75, "internal-error", "stopped by fatal signal SIG" + name);
    expect_outputs_untouched();
  }
}

// The serialized model followed by a second graph member holding one unused float
// initializer of the given size; a reader merges it into the model's graph.
std::string with_ballast(const std::string& model_bytes, std::uint64_t ballast_floats) {
  const auto varint = [](std::uint64_t v) {
    std::string out;
    while (v >= 0x80) {
      out.push_back(static_cast<char>((v & 0x7F) | 0x80));
      v >>= 7;
    }
    out.push_back(static_cast<char>(v));
    return out;
  };
  const auto field = [&](int number, const std::string& bytes) {
    return varint(static_cast<std::uint64_t>(number) << 3 | 2) + varint(bytes.size()) + bytes;
  };
  // TensorProto: dims (1), data_type FLOAT (2), name (8), raw_data (9).
  const std::string tensor = varint(1 << 3) + varint(ballast_floats) + varint(2 << 3) +
                             varint(1) + field(8, "ballast") +
                             field(9, std::string(ballast_floats * 4, '\0'));
  return model_bytes + field(7, field(5, tensor));  // ModelProto.graph, GraphProto.initializer
}

TEST_F(Faults, OutOfMemoryWhileLoadingAModel) {
  if (!kAddressSpaceLimitsWork) GTEST_SKIP() << "address-space limits do not work under sanitizers";
  const rlim_t base = smallest_working_address_space({}, request_.text());
  ASSERT_GT(base, 0u);
  const std::string heavy = dir_ / "heavy.onnx";
  write_file(heavy, with_ballast(read_file(model("embedding.onnx")), 24 * kMiB));
  request_.models(model("segmentation.onnx"), heavy);
  ASSERT_EQ(analyze().status, 0);  // the model is valid: only its size fails it below
  write_file(statements_, kOldStatements);

  // The runtime reports its own allocation failure; it is mapped like any load failure.
  const ProcessResult result = analyze(ProcessOptions().limit(RLIMIT_AS, base + 32 * kMiB));
  expect_error(result, 69, "model-invalid",
               "wespeaker_onnx_path could not be opened as an ONNX model: speaker ONNX Runtime "
               "error: Load model from " +
                   heavy + " failed:std::bad_alloc");
  expect_outputs_untouched();
}

TEST_F(Faults, OutOfMemoryWhileClustering) {
  if (!kAddressSpaceLimitsWork) GTEST_SKIP() << "address-space limits do not work under sanitizers";
  const std::string rows = dir_ / "rows.f32";
  write_floats(rows, one_hot_rows(20, 4));
  const rlim_t base =
      smallest_working_address_space({"discovery-cluster"}, discovery_request(rows, 20, 4));
  ASSERT_GT(base, 0u);
  // 32 MiB of rows: reading them fits under the limit, the clustering's working memory (sketches
  // and search state of every row, about half as much again) does not.
  constexpr std::size_t kRows = 32768, kCols = 256;
  write_floats(rows, one_hot_rows(kRows, kCols));
  const ProcessResult result =
      run_engine({"discovery-cluster"}, discovery_request(rows, kRows, kCols),
                 ProcessOptions().limit(RLIMIT_AS, base + 40 * kMiB));
  expect_error(result, 75, "internal-error", kOutOfMemory);
}

// ---------------------------------------------------------------------------------------
// Finite audio so loud that 32-bit filterbank features overflow: they would hold infinities and
// NaN, or beyond 2^100 NaN read as silence, so the run fails before anything is written, naming
// the statement, or without statements the time in the recording.

TEST_F(Faults, AudioTooLoudForThirtyTwoBitFeaturesFailsAsAudioInvalid) {
  const auto tone = [](double amplitude) {
    std::vector<float> audio(12 * 16000);
    for (std::size_t i = 0; i < audio.size(); ++i) {
      audio[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * 1000.0 *
                                                         static_cast<double>(i) / 16000.0));
    }
    return audio;
  };
  // 0.4 x 1e13 is still heard as it is.
  write_floats(audio_, tone(0.4e13));
  ASSERT_EQ(analyze().status, 0);
  const std::vector<float> payload = quillfen::testing::read_floats(statements_);
  EXPECT_EQ(payload.size(), 5u * 256u);
  EXPECT_TRUE(std::all_of(payload.begin(), payload.end(), [](float v) { return std::isfinite(v); }));
  write_file(statements_, kOldStatements);

  const auto too_loud = [&](const std::string& what, const std::string& where,
                            const std::string& loudest) {
    return "audio path \"" + audio_ + "\" is not raw little-endian f32 mono: " + what +
           " is too loud for 32-bit filterbank features" + where +
           " (the file's largest sample magnitude is " + loudest + ")";
  };
  for (const auto& [amplitude, loudest] : {std::pair{0.4e14, "39999999311872"},
                                           std::pair{0.4e15, "400000001507328"},
                                           std::pair{1e35, "100000004091847875962975319375216640"}}) {
    write_floats(audio_, tone(amplitude));
    expect_error(analyze(), 69, "audio-invalid", too_loud("statement 1", "", loudest));
    expect_outputs_untouched();
  }
  request_.spans("[]", "[]");
  expect_error(analyze(), 69, "audio-invalid",
               too_loud("the recording", " at 0 s", "100000004091847875962975319375216640"));
  expect_outputs_untouched();
}

// ---------------------------------------------------------------------------------------
// Texts from model files that are not UTF-8 are written with U+FFFD in their place.

TEST_F(Faults, ForeignTextThatIsNotUtf8IsReplacedWhereItEnters) {
  const std::string fffd = "\xEF\xBF\xBD";
  // The runtime quotes a node name of the file in its refusal.
  request_.models(model("segmentation.onnx"), model("emb_bad_utf8_node.onnx"));
  ProcessResult result = analyze();
  expect_error(result, 69, "model-invalid",
               "wespeaker_onnx_path could not be opened as an ONNX model: speaker ONNX Runtime "
               "error: Load model from " +
                   model("emb_bad_utf8_node.onnx") + " failed:Invalid model. Node input 'fe" +
                   fffd + "ts' is not a graph input, initializer, or output of a previous node.");
  EXPECT_TRUE(speakers::is_valid_utf8(result.err));
  expect_outputs_untouched();

  // The engine quotes the model's input name in its own mismatch message.
  request_.models(model("seg_bad_utf8_input.onnx"), model("embedding.onnx"));
  result = analyze();
  expect_error(result, 69, "model-io-mismatch",
               "pyannote_segmentation_onnx_path has unsupported ONNX input/output shape: speaker "
               "ONNX model IO mismatch: input name \"input_v" +
                   fffd + "lues\" is not \"input_values\"");
  EXPECT_TRUE(speakers::is_valid_utf8(result.err));
  expect_outputs_untouched();
}

// ---------------------------------------------------------------------------------------
// Audio streamed through a pipe: a FIFO with a writer, and an inherited pipe as /dev/fd/N.

TEST_F(Faults, FifoAudioStreamsThroughAPipe) {
  const auto [response, payload] = clean_run();
  const std::string audio_bytes = read_file(audio_);

  const std::string fifo = dir_ / "audio.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY);  // waits for the engine to open it
    if (fd >= 0) {
      for (std::size_t done = 0; done < audio_bytes.size();) {
        // Small pieces, so that the engine reads a stream that arrives over time.
        const ssize_t put = ::write(fd, audio_bytes.data() + done,
                                    std::min<std::size_t>(audio_bytes.size() - done, 4096));
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
      }
      ::close(fd);
    }
  });
  request_.str("full_audio_f32le_path", fifo);
  ProcessResult result = analyze();
  writer.join();
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, response);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(read_file(statements_) == payload);

  // A pipe the caller hands down, named as /dev/fd/N (what a shell's process substitution
  // gives).
  write_file(statements_, kOldStatements);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  std::thread feeder([&] {
    for (std::size_t done = 0; done < audio_bytes.size();) {
      const ssize_t put = ::write(fds[1], audio_bytes.data() + done, audio_bytes.size() - done);
      if (put <= 0) break;
      done += static_cast<std::size_t>(put);
    }
    ::close(fds[1]);
  });
  request_.str("full_audio_f32le_path", "/dev/fd/40");
  result = analyze(ProcessOptions().pass_descriptor(fds[0], 40));
  ::close(fds[0]);
  feeder.join();
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, response);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(read_file(statements_) == payload);
}

// ---------------------------------------------------------------------------------------
// Standard streams closed or full.

TEST_F(Faults, StandardStreamsClosedOrFull) {
  const auto [response, payload] = clean_run();
  const auto response_failure = [](const std::string& cause) {
    return error_line("internal-error", "failed to write response: " + cause);
  };

  // The analysis succeeds and writes its payload; only the response line is lost.
  ProcessResult result = analyze(ProcessOptions().stdout_to(StreamSetup::closed()));
  EXPECT_EQ(result.err, response_failure("Bad file descriptor (os error 9)"));
  EXPECT_EQ(result.status, 75);
  EXPECT_TRUE(read_file(statements_) == payload);

  result = analyze(ProcessOptions().stdout_to(StreamSetup::file("/dev/full")));
  EXPECT_EQ(result.err, response_failure("No space left on device (os error 28)"));
  EXPECT_EQ(result.status, 75);

  result = analyze(
      ProcessOptions().stdout_to(StreamSetup::closed()).stderr_to(StreamSetup::closed()));
  EXPECT_EQ(result.status, 75);
  EXPECT_EQ(result.signal, 0);

  // An error line that cannot be written still ends with its status, and the failed run
  // touches no output.
  write_file(statements_, kOldStatements);
  request_.str("full_audio_f32le_path", dir_ / "missing.f32");
  for (const StreamSetup& err : {StreamSetup::closed(), StreamSetup::file("/dev/full")}) {
    result = analyze(ProcessOptions().stderr_to(err));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 69);
    EXPECT_EQ(result.signal, 0);
    expect_outputs_untouched();
  }
  result = run_engine({"--help"}, "", ProcessOptions().stderr_to(StreamSetup::file("/dev/full")));
  EXPECT_EQ(result.status, 64);

  // Standard input closed.
  expect_error(quillfen::testing::run_process(
                   "/bin/sh", {"-c", "exec \"$0\" <&-", quillfen::testing::engine_path()}, ""),
               75, "internal-error", "failed to read stdin: Bad file descriptor (os error 9)");
}

// ---------------------------------------------------------------------------------------
// Output paths that cannot be written.

// A payload path that names one of the engine's own streams is refused before anything is
// written: payload bytes never mix with the line, and the caller's file is not overwritten by both.
TEST_F(Faults, PayloadPathNamingTheEnginesOwnStream) {
  const auto refused = [](const std::string& path, const std::string& stream) {
    return unwritable(path, "it is the engine's standard " + stream);
  };
  const std::string stdout_file = dir_ / "stdout.txt";
  for (const std::string path : {"/dev/stdout", "/proc/self/fd/1"}) {
    request_.str("output_payload_f32le_path", path);
    ProcessResult result = analyze();  // standard output is a pipe
    expect_error(result, 75, "output-unwritable", refused(path, "output"));
    result = analyze(ProcessOptions().stdout_to(StreamSetup::file(stdout_file)));
    expect_error(result, 75, "output-unwritable", refused(path, "output"));
    EXPECT_EQ(read_file(stdout_file), "");
  }

  // The file the caller sends standard output to, named by its path.
  request_.str("output_payload_f32le_path", stdout_file);
  expect_error(analyze(ProcessOptions().stdout_to(StreamSetup::file(stdout_file))), 75,
               "output-unwritable", refused(stdout_file, "output"));
  EXPECT_EQ(read_file(stdout_file), "");

  // Standard error: the error line alone reaches it.
  request_.str("output_payload_f32le_path", "/dev/stderr");
  const ProcessResult result = analyze();
  expect_error(result, 75, "output-unwritable", refused("/dev/stderr", "error"));

  // Standard input: the caller's request file, by any of its names, and a pipe.
  const std::string request_file = dir_ / "request.json";
  for (const std::string path : {"/dev/stdin", "/proc/self/fd/0", request_file.c_str()}) {
    request_.str("output_payload_f32le_path", path);
    write_file(request_file, request_.text());
    expect_error(run_engine({}, "", ProcessOptions().stdin_from(request_file)), 75,
                 "output-unwritable", refused(path, "input"));
    EXPECT_EQ(read_file(request_file), request_.text());
  }
  request_.str("output_payload_f32le_path", "/dev/stdin");
  expect_error(analyze(), 75, "output-unwritable", refused("/dev/stdin", "input"));

  // /dev/null is shared by any number of streams and discards what it is given.
  request_.str("output_payload_f32le_path", "/dev/stdout");
  EXPECT_EQ(analyze(ProcessOptions().stdout_to(StreamSetup::file("/dev/null"))).status, 0);
}

TEST_F(Faults, OutputDirectoryMissingReadOnlyOrADirectory) {
  const std::string missing = dir_ / "missing" / "out.f32";
  request_.str("output_payload_f32le_path", missing);
  expect_error(analyze(), 75, "output-unwritable",
               unwritable(missing, "No such file or directory (os error 2)"));
  expect_outputs_untouched();

  const std::string directory = dir_ / "a-directory";
  fs::create_directory(directory);
  request_.str("output_payload_f32le_path", directory);
  expect_error(analyze(), 75, "output-unwritable",
               unwritable(directory, "Is a directory (os error 21)"));
  EXPECT_TRUE(fs::is_directory(directory));
  expect_outputs_untouched();

  // Permissions bind only an unprivileged process: as root, the engine runs without its
  // capabilities.
  const fs::path read_only = dir_ / "read-only";
  fs::create_directory(read_only);
  const std::string kept = read_only / "kept.f32";
  write_file(kept, "kept");
  fs::permissions(read_only, fs::perms::owner_read | fs::perms::owner_exec |
                                 fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(kept, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  for (const std::string& path : {std::string(read_only / "new.f32"), kept}) {
    request_.str("output_payload_f32le_path", path);
    expect_error(analyze(ProcessOptions().without_privileges()), 75, "output-unwritable",
                 unwritable(path, "Permission denied (os error 13)"));
  }
  EXPECT_EQ(read_file(kept), "kept");
  EXPECT_FALSE(fs::exists(read_only / "new.f32"));
  expect_outputs_untouched();
  fs::permissions(read_only, fs::perms::owner_all);
}

// ---------------------------------------------------------------------------------------
// Damaged model files: every run ends in one line, never a crash.

// One run's outcome: a response on standard output, or one error line of status 69 or 75
// naming a model or runtime failure, with the outputs untouched.
void expect_one_line_outcome(const ProcessResult& result, const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(result.signal, 0);
  if (result.status == 0) {
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(result.out.ends_with("}\n"));
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1);
    EXPECT_TRUE(json::parse(result.out).has_value());
    return;
  }
  EXPECT_TRUE(result.status == 69 || result.status == 75) << result.status;
  EXPECT_EQ(result.out, "");
  ASSERT_TRUE(result.err.ends_with("}\n"));
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1);
  EXPECT_TRUE(speakers::is_valid_utf8(result.err));
  const auto line = json::parse(result.err);
  ASSERT_TRUE(line.has_value()) << result.err;
  const json::Value* reason = line->as_object().find("reason");
  ASSERT_NE(reason, nullptr);
  const std::string expected_status_69[] = {"model-invalid", "model-io-mismatch"};
  const std::string& text = reason->as_string();
  if (result.status == 69) {
    EXPECT_TRUE(text == expected_status_69[0] || text == expected_status_69[1]) << text;
  } else {
    EXPECT_TRUE(text == "onnx-runtime-error" || text == "internal-error") << text;
  }
}

TEST_F(Faults, DamagedModelsTruncatedOrWithFlippedBytesEndInOneLine) {
  std::mt19937 rng(20241206);
  for (const std::string name : {"segmentation.onnx", "embedding.onnx"}) {
    const std::string bytes = read_file(model(name));
    const std::string damaged = dir_ / ("damaged-" + name);
    const bool is_segmentation = name == "segmentation.onnx";
    request_.models(is_segmentation ? damaged : model("segmentation.onnx"),
                    is_segmentation ? model("embedding.onnx") : damaged);
    // Cut at ten points of its length.
    for (int cut = 0; cut < 10; ++cut) {
      write_file(damaged, bytes.substr(0, bytes.size() * static_cast<std::size_t>(cut) / 10));
      const ProcessResult result = analyze();
      expect_one_line_outcome(result, name + " cut at " + std::to_string(cut) + "/10");
      if (result.status != 0) expect_outputs_untouched();
      write_file(statements_, kOldStatements);
    }
    // One byte changed at fifty positions of each model.
    for (int flip = 0; flip < 50; ++flip) {
      std::string changed = bytes;
      const std::size_t at = rng() % changed.size();
      changed[at] = static_cast<char>(changed[at] ^ (1 + rng() % 255));
      write_file(damaged, changed);
      const ProcessResult result = analyze();
      expect_one_line_outcome(result, name + " byte " + std::to_string(at) + " changed");
      if (result.status != 0) expect_outputs_untouched();
      write_file(statements_, kOldStatements);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Sandboxes without /proc or /sys.

// The runtime library learns about the processor from /proc and /sys and complains on standard
// error when it cannot ("Error in cpuinfo: ..."); nothing it writes reaches the caller. A
// success, a failing model run and discovery give the same status, lines and payload there.
TEST_F(Faults, EmptyProcOrSysChangesNoByte) {
  if (!quillfen::testing::can_empty_directories()) {
    GTEST_SKIP() << "mounting an empty /proc or /sys in a mount namespace needs root with "
                    "CAP_SYS_ADMIN";
  }
  const std::string rows = dir_ / "rows.f32";
  write_floats(rows, {1.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f, 0.0f, 1.0f});
  testing::RequestText failing = request_;
  failing.models(model("seg_run_fails.onnx"), model("embedding.onnx"));
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string request;
    int status;
  };
  const Case cases[] = {{"analyze", {}, request_.text(), 0},
                        {"analyze failing in a model run", {}, failing.text(), 75},
                        {"discovery", {"discovery-cluster"}, discovery_request(rows, 4, 2), 0}};
  for (const Case& c : cases) {
    const ProcessResult expected = run_engine(c.args, c.request);
    ASSERT_EQ(expected.status, c.status) << c.name << ": " << expected.err;
    const std::string payload = read_file(statements_);
    for (const std::string emptied : {"/proc", "/sys"}) {
      if (emptied == "/proc" && !kRunsWithoutProc) continue;
      SCOPED_TRACE(c.name + " with an empty " + emptied);
      write_file(statements_, kOldStatements);
      const ProcessResult got = run_engine(c.args, c.request, ProcessOptions().with_empty(emptied));
      EXPECT_EQ(got.status, expected.status);
      EXPECT_EQ(got.out, expected.out);
      EXPECT_EQ(got.err, expected.err);
      EXPECT_TRUE(read_file(statements_) == payload);
    }
    write_file(statements_, kOldStatements);
  }
}

}  // namespace
}  // namespace quillfen::analyze
