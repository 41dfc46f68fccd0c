// Where tests find their data, the engine executable and scratch space.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillfen::testing {

// Directory of the generated test ONNX models (see tools/models/make_test_models.py).
std::filesystem::path test_models_dir();

// The shared data beside the checkout (goldens, a real segmentation model, recordings),
// or nothing when it is absent; tests that need it skip with a clear message.
std::optional<std::filesystem::path> shared_dir();

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
};

// Runs the engine with the given arguments, feeding stdin_bytes to its standard input.
ProcessResult run_engine(const std::vector<std::string>& args, const std::string& stdin_bytes);
// Runs any program the same way (argv[0] is program).
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& stdin_bytes);

}  // namespace quillfen::testing
