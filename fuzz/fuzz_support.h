// What every fuzz target shares: failing loudly on a broken property, a scratch directory of
// data files, and the one-line contract of an engine run checked on its captured streams.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillfen::fuzz {

// Reports a broken property on standard error and aborts, which libFuzzer records as a crash
// with the input that caused it.
[[noreturn]] void fail(std::string_view what, std::string_view detail = {});

// Aborts with the message unless condition holds.
inline void require(bool condition, std::string_view what, std::string_view detail = {}) {
  if (!condition) fail(what, detail);
}

// A fresh directory in memory (/dev/shm) or else under the system temp directory, made the
// working directory of the
// process so that requests name its files by plain relative names; removed at exit.
std::filesystem::path enter_scratch_directory(std::string_view purpose);

void write_bytes(const std::filesystem::path& path, std::string_view bytes);
void write_floats(const std::filesystem::path& path, std::span<const float> values);
std::string read_bytes(const std::filesystem::path& path);

// True for a name the working directory can hold: not empty, no '/', no NUL, not "." or "..",
// at most NAME_MAX (255) bytes.
bool is_plain_name(std::string_view path);

// The captured streams and exit status of one run of the engine's entry.
struct EntryRun {
  std::string out;
  std::string err;
  int status = -1;
};

// Runs the entry with args on the request bytes as standard input; standard output and
// standard error are captured in memory files.
EntryRun run_entry_captured(std::span<const std::string> args, std::string_view request);

// The one-line contract: status 0 with exactly one line on standard output holding a JSON
// object whose "schema" is success_schema, and nothing on standard error; or status 64, 69
// or 75 with nothing on standard output and exactly one line on standard error holding the
// error document (schema, reason, detail in this order) whose reason belongs to that status.
// Every line is well-formed UTF-8 (checked by ICU's strict decoder) and valid JSON.
void check_one_line_contract(const EntryRun& run, std::string_view success_schema);

// True when bytes decode as UTF-8 under ICU's strict conversion.
bool is_strict_utf8(std::string_view bytes);

}  // namespace quillfen::fuzz
