#include "fuzz_support.h"

#include <limits.h>
#include <sys/mman.h>
#include <unistd.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "analyze/analyze_error.h"
#include "analyze/command.h"
#include "analyze/entry.h"
#include "analyze/json.h"

namespace quillfen::fuzz {
namespace {

std::filesystem::path& scratch_directory() {
  static std::filesystem::path path;
  return path;
}

void remove_scratch_directory() {
  std::error_code ec;
  if (!scratch_directory().empty()) std::filesystem::remove_all(scratch_directory(), ec);
}

// A memory file reused for every run.
int memory_file(const char* name) {
  const int fd = ::memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) fail("memfd_create failed");
  return fd;
}

void reset(int fd, std::string_view contents) {
  if (::ftruncate(fd, 0) != 0) fail("ftruncate failed");
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t put = ::pwrite(fd, contents.data() + done, contents.size() - done,
                                 static_cast<off_t>(done));
    if (put <= 0) fail("pwrite failed");
    done += static_cast<std::size_t>(put);
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) fail("lseek failed");
}

std::string contents(int fd) {
  std::string out;
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
    if (got < 0) fail("pread failed");
    if (got == 0) return out;
    out.append(buffer, static_cast<std::size_t>(got));
    at += got;
  }
}

// The status every reason code belongs to: the usage error's and every AnalyzeError kind's.
const std::map<std::string, int, std::less<>>& reason_statuses() {
  static const std::map<std::string, int, std::less<>> statuses = [] {
    std::map<std::string, int, std::less<>> map = {{"usage", analyze::kUsageExitStatus}};
    for (std::size_t k = 0; k < analyze::AnalyzeError::kKindCount; ++k) {
      const auto kind = static_cast<analyze::AnalyzeError::Kind>(k);
      map.emplace(analyze::AnalyzeError::reason_of(kind),
                  analyze::AnalyzeError::exit_status_of(kind));
    }
    return map;
  }();
  return statuses;
}

// The single line of a stream: ends with its only newline.
std::string_view single_line(std::string_view stream, std::string_view which) {
  require(!stream.empty() && stream.back() == '\n', "the line does not end with a newline", which);
  require(stream.find('\n') == stream.size() - 1, "more than one line", which);
  return stream.substr(0, stream.size() - 1);
}

analyze::json::Object parsed_object(std::string_view line) {
  require(is_strict_utf8(line), "the line is not UTF-8", line);
  auto value = analyze::json::parse(line);
  require(value.has_value(), "the line is not JSON", line);
  require(value->is_object(), "the line is not a JSON object", line);
  return value->as_object();
}

}  // namespace

void fail(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "\nPROPERTY FAILED: %.*s\n%.*s\n", static_cast<int>(what.size()),
               what.data(), static_cast<int>(std::min<std::size_t>(detail.size(), 4000)),
               detail.data());
  std::abort();
}

std::filesystem::path enter_scratch_directory(std::string_view purpose) {
  // In memory where the system offers it: every run writes files.
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
  std::string pattern = (base / ("quillfen-fuzz-" + std::string(purpose) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp failed");
  scratch_directory() = pattern;
  std::atexit(remove_scratch_directory);
  std::filesystem::current_path(pattern);
  return pattern;
}

void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) fail("cannot write", path.string());
}

void write_floats(const std::filesystem::path& path, std::span<const float> values) {
  write_bytes(path, std::string_view(reinterpret_cast<const char*>(values.data()),
                                     values.size() * sizeof(float)));
}

std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read", path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool is_plain_name(std::string_view path) {
  return !path.empty() && path.size() <= NAME_MAX && path != "." && path != ".." &&
         path.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

EntryRun run_entry_captured(std::span<const std::string> args, std::string_view request) {
  static const int in_fd = memory_file("stdin");
  static const int out_fd = memory_file("stdout");
  static const int err_fd = memory_file("stderr");
  reset(in_fd, request);
  reset(out_fd, {});
  reset(err_fd, {});
  EntryRun run;
  run.status = analyze::run_entry(args, in_fd, out_fd, err_fd);
  run.out = contents(out_fd);
  run.err = contents(err_fd);
  return run;
}

bool is_strict_utf8(std::string_view bytes) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  // Preflight: counts the UTF-16 units and fails on any ill-formed sequence.
  u_strFromUTF8(nullptr, 0, &length, bytes.data(), static_cast<int32_t>(bytes.size()), &status);
  return status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING ||
         U_SUCCESS(status);
}

void check_one_line_contract(const EntryRun& run, std::string_view success_schema) {
  if (run.status == 0) {
    require(run.err.empty(), "a successful run wrote to standard error", run.err);
    const auto object = parsed_object(single_line(run.out, "standard output"));
    const auto* schema = object.find("schema");
    require(schema != nullptr && schema->is_string() && schema->as_string() == success_schema,
            "the response has the wrong schema", run.out);
    return;
  }
  require(run.status == 64 || run.status == 69 || run.status == 75, "unexpected exit status",
          std::to_string(run.status));
  require(run.out.empty(), "a failed run wrote to standard output", run.out);
  const auto object = parsed_object(single_line(run.err, "standard error"));
  const auto& members = object.members();
  require(members.size() == 3 && members[0].first == "schema" && members[1].first == "reason" &&
              members[2].first == "detail",
          "the error document does not hold schema, reason and detail in order", run.err);
  require(members[0].second.is_string() &&
              members[0].second.as_string() == "quillfen-speaker-analyze-error-v1",
          "the error document has the wrong schema", run.err);
  require(members[1].second.is_string() && members[2].second.is_string(),
          "reason or detail is not a string", run.err);
  const auto status = reason_statuses().find(members[1].second.as_string());
  require(status != reason_statuses().end(), "unknown reason", run.err);
  require(status->second == run.status, "the reason does not belong to the exit status",
          run.err + " status " + std::to_string(run.status));
}

}  // namespace quillfen::fuzz
