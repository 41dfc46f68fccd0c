// Where tests find their data, the engine executable and scratch space.
#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillfen::testing {

// Directory of the generated test ONNX models (see tools/models/make_test_models.py).
std::filesystem::path test_models_dir();

// Test data folders share one layout:
//   golden/fbank/   filterbank goldens: manifest.json lists the cases, inputs/ and features/
//                   hold them, povey_window.f32 and mel_bins.json the tables
//   models/         pyannote-segmentation-3.0-int8.onnx, the trained int8 segmentation model
//   audio/          WAV recordings (16 kHz mono, 16-bit PCM or 32-bit float) and RTTM files
//                   with their reference speaker turns
// The repository's own folder (tests/data) holds all 14 goldens, the model and one recording;
// a larger external folder may add goldens and recordings.
std::filesystem::path repo_data_dir();

// The external data folder given at configure time (QUILLFEN_EXTERNAL_TEST_DATA), or nothing.
std::optional<std::filesystem::path> external_data_dir();

// repo_data_dir(), then external_data_dir() when there is one.
std::vector<std::filesystem::path> data_dirs();

// The trained int8 segmentation model of the repository's data.
std::filesystem::path trained_segmentation_model();

// One reference speaker turn, in seconds.
struct SpeakerTurn {
  double start_s = 0.0;
  double end_s = 0.0;
  std::string speaker;
};

// A WAV recording with its reference turns: the SPEAKER lines of the RTTM files beside it whose
// file id is the WAV's name or the last "_"-separated part of it (pyannote_sample.wav: "sample").
struct Recording {
  std::filesystem::path wav;
  std::vector<SpeakerTurn> turns;
  // Distinct speakers of the turns.
  std::size_t speaker_count() const;
};

// Every recording of every data folder that has reference turns, each folder's sorted by name.
std::vector<Recording> recordings();

// Mono 16 kHz samples of a RIFF/WAVE file holding 16-bit PCM (scaled by 1/32768) or 32-bit
// float data; throws std::runtime_error for anything else.
std::vector<float> read_wav_mono_16k(const std::filesystem::path& path);

// The engine executable under test ($QUILLFEN_ENGINE when set, so that a benchmark can run
// another build of it).
std::filesystem::path engine_path();

std::filesystem::path source_dir();

// Where benchmarks cache what they generate once (payloads, benchmark-only models), outside the
// repository: $QUILLFEN_BENCH_CACHE, else ~/.cache/quillfen-bench (created when missing).
std::filesystem::path bench_cache_dir();

// A fresh empty directory under the system temp directory, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes bytes to a file, creating or truncating it.
void write_file(const std::filesystem::path& path, const std::string& bytes);
void write_floats(const std::filesystem::path& path, const std::vector<float>& values);
std::string read_file(const std::filesystem::path& path);
std::vector<float> read_floats(const std::filesystem::path& path);

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the process did not exit normally
  int signal = 0;   // the signal that ended the process, or 0
};

// How a child's standard output or error is set up: captured through a pipe into the
// result, closed, or opened for writing (created, truncated, or appended to) at a path such
// as /dev/full.
struct StreamSetup {
  enum class Mode { Captured, Closed, File };
  Mode mode = Mode::Captured;
  std::string path;
  bool append = false;

  static StreamSetup closed() { return {Mode::Closed, {}}; }
  static StreamSetup file(std::string path) { return {Mode::File, std::move(path)}; }
  static StreamSetup appended_to(std::string path) { return {Mode::File, std::move(path), true}; }
};

// What a child gets beyond its arguments and standard input.
struct ProcessOptions {
  // Resource limits (soft and hard) set in the child before it starts the program.
  std::vector<std::pair<int, rlim_t>> limits;
  StreamSetup out;
  StreamSetup err;
  // Standard input opened from this path instead of being fed the stdin bytes.
  std::optional<std::string> stdin_path;
  // Without privileges: when the tests run as root, the child gives up every capability
  // (bounding set emptied, no capabilities regained on exec), so file permissions bind it
  // as they bind an ordinary user; it keeps its user id, so it can still reach the runtime
  // library under root's home.
  bool unprivileged = false;
  // Descriptors of the parent the child gets, each dup2'ed to the given number (above the
  // few the harness itself uses, for example 40).
  std::vector<std::pair<int, int>> inherit;
  // Directories (such as /proc or /sys) the child sees empty: in a mount namespace of its own,
  // an empty tmpfs is mounted over each. Needs root (see can_empty_directories).
  std::vector<std::string> emptied;

  ProcessOptions& limit(int resource, rlim_t value) {
    limits.emplace_back(resource, value);
    return *this;
  }
  ProcessOptions& stdout_to(StreamSetup setup) {
    out = std::move(setup);
    return *this;
  }
  ProcessOptions& stderr_to(StreamSetup setup) {
    err = std::move(setup);
    return *this;
  }
  ProcessOptions& stdin_from(std::string path) {
    stdin_path = std::move(path);
    return *this;
  }
  ProcessOptions& without_privileges() {
    unprivileged = true;
    return *this;
  }
  ProcessOptions& with_empty(std::string directory) {
    emptied.push_back(std::move(directory));
    return *this;
  }
  ProcessOptions& pass_descriptor(int parent_fd, int child_fd) {
    inherit.emplace_back(parent_fd, child_fd);
    return *this;
  }
};

// Runs the engine with the given arguments, feeding stdin_bytes to its standard input.
ProcessResult run_engine(const std::vector<std::string>& args, const std::string& stdin_bytes,
                         const ProcessOptions& options = {});
// Runs any program the same way (argv[0] is program).
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& stdin_bytes, const ProcessOptions& options = {});

// True when the test process runs with root's privileges (the permission cases then run
// the engine unprivileged).
bool running_as_root();

// True when a child can be given empty directories (ProcessOptions::with_empty): it may make a
// mount namespace and mount a tmpfs there (root with CAP_SYS_ADMIN).
bool can_empty_directories();

}  // namespace quillfen::testing
