// Headerless files of little-endian IEEE 754 binary32 values: mono audio inputs, row-major
// embedding payloads read by the discovery command, and the payload files an analyze run
// writes once its response document is complete.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analyze/analyze_error.h"

namespace quillfen::analyze {

// Descriptor values of every payload file.
inline constexpr std::string_view kPayloadFormat = "raw-f32le-row-major-v1";
inline constexpr std::string_view kPayloadDtype = "float32-le";

// Message of the unreadable/unwritable kinds for a path holding a NUL character, which
// the operating system cannot be given without truncating it.
inline constexpr std::string_view kNulInPathMessage = "file name contained an unexpected NUL byte";

// One pending payload file: the output path as the request gave it and the encoded bytes.
struct PayloadWrite {
  std::string path;
  std::vector<std::uint8_t> bytes;

  friend bool operator==(const PayloadWrite&, const PayloadWrite&) = default;
};

// Reads a whole raw audio file: 4 little-endian bytes per sample, no header. Errors:
// audio-unreadable (open or read failed), audio-invalid (length not a multiple of 4),
// audio-non-finite (index of the first sample whose exponent bits are all ones). An empty
// file gives no samples.
std::expected<std::vector<float>, AnalyzeError> read_audio_file(const std::string& path);

// Reads a rows x cols row-major payload whose byte length must be expected_byte_count
// (rows * cols * 4, computed by the caller without overflow). Errors: payload-unreadable
// (metadata, not a regular file, open, read), payload-invalid (size differs from the
// expected count, or changed while reading), payload-non-finite (row and col of the first
// value whose exponent bits are all ones).
std::expected<std::vector<float>, AnalyzeError> read_payload_file(
    const std::string& path, std::uint64_t rows, std::uint64_t cols,
    std::uint64_t expected_byte_count);

// 4 little-endian bytes per value, in order.
std::vector<std::uint8_t> encode_matrix(std::span<const float> values);

// While it lives, write_payloads refuses a path that names the same file as out_fd or err_fd,
// the descriptors that carry the engine's one line ("/dev/stdout", "/proc/self/fd/2", or the
// file the caller sent standard output to), or as in_fd, the request ("/dev/stdin", or the
// request file itself): output-unwritable "it is the engine's standard output" (or "...
// standard error", "... standard input"), before the file is opened, so that payload bytes
// never mix with the line nor overwrite the caller's request. Character devices (/dev/null,
// terminals) are not refused. The command entry holds one for each run; guards do not nest.
class ResponseStreamsGuard {
 public:
  ResponseStreamsGuard(int in_fd, int out_fd, int err_fd);
  ~ResponseStreamsGuard();
  ResponseStreamsGuard(const ResponseStreamsGuard&) = delete;
  ResponseStreamsGuard& operator=(const ResponseStreamsGuard&) = delete;
};

// Refuses, before any file is opened, a path holding NUL or naming a file a
// ResponseStreamsGuard reserves; then creates or truncates each file in list order (permissions
// 0666 before the process mask) and writes all its bytes; stops at the first failure with
// output-unwritable. Files written before a failure stay on disk.
std::expected<void, AnalyzeError> write_payloads(std::span<const PayloadWrite> writes);

}  // namespace quillfen::analyze
