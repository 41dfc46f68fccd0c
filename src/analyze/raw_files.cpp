#include "analyze/raw_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include "analyze/file_descriptor.h"
#include "analyze/system_text.h"
#include "speakers/numeric.h"

namespace quillfen::analyze {
namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Reads fd to its end into storage, which is grown as needed beyond the size hint; returns
// the byte count or the errno. storage holds floats so that the bytes can be decoded in place.
std::expected<std::size_t, int> read_floats_to_end(int fd, std::uint64_t size_hint,
                                                   std::vector<float>& storage) {
  // One spare value so that a file exactly as long as its hint reaches end of file without
  // a reallocation.
  storage.resize(static_cast<std::size_t>(size_hint / 4 + 1));
  return read_to_end(fd, [&storage](std::size_t filled) {
    if (filled == storage.size() * sizeof(float)) storage.resize(storage.size() * 2);
    return std::as_writable_bytes(std::span(storage)).subspan(filled);
  });
}

// Turns the first count values of storage from little-endian bytes into native floats and
// returns the index of the first value whose exponent bits are all ones, or count.
std::size_t decode_in_place(std::vector<float>& storage, std::size_t count) {
  if constexpr (std::endian::native == std::endian::big) {
    for (float& value : std::span(storage).first(count)) {
      value = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<std::uint32_t>(value)));
    }
  }
  return speakers::first_non_finite(std::span(storage).first(count));
}

}  // namespace

std::expected<std::vector<float>, AnalyzeError> read_audio_file(const std::string& path) {
  if (has_nul(path)) {
    return std::unexpected(AnalyzeError::audio_unreadable(path, std::string(kNulInPathMessage)));
  }
  auto file = FileDescriptor::open(path, O_RDONLY);
  if (!file)
    return std::unexpected(AnalyzeError::audio_unreadable(path, os_error_text(file.error())));
  // The size is only a hint for the buffer; the file is read to its end whatever it says.
  struct stat info {};
  const std::uint64_t hint = ::fstat(file->get(), &info) == 0 && S_ISREG(info.st_mode)
                                 ? static_cast<std::uint64_t>(info.st_size)
                                 : 0;
  std::vector<float> samples;
  const auto length = read_floats_to_end(file->get(), hint, samples);
  if (!length) {
    return std::unexpected(AnalyzeError::audio_unreadable(path, os_error_text(length.error())));
  }
  if (*length % 4 != 0) {
    return std::unexpected(AnalyzeError::audio_invalid(
        path, "byte length " + std::to_string(*length) + " is not divisible by 4"));
  }
  const std::size_t count = *length / 4;
  if (const std::size_t bad = decode_in_place(samples, count); bad != count) {
    return std::unexpected(AnalyzeError::audio_non_finite(bad, path));
  }
  samples.resize(count);
  return samples;
}

std::expected<std::vector<float>, AnalyzeError> read_payload_file(
    const std::string& path, std::uint64_t /*rows*/, std::uint64_t cols,
    std::uint64_t expected_byte_count) {
  if (has_nul(path)) {
    return std::unexpected(AnalyzeError::payload_unreadable(path, std::string(kNulInPathMessage)));
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return std::unexpected(AnalyzeError::payload_unreadable(path, os_error_text(errno)));
  }
  if (!S_ISREG(info.st_mode)) {
    return std::unexpected(AnalyzeError::payload_unreadable(path, "path is not a regular file"));
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size != expected_byte_count) {
    return std::unexpected(AnalyzeError::payload_invalid(
        path, "byte length " + std::to_string(size) + " does not match expected " +
                  std::to_string(expected_byte_count)));
  }
  auto file = FileDescriptor::open(path, O_RDONLY);
  if (!file) {
    return std::unexpected(AnalyzeError::payload_unreadable(path, os_error_text(file.error())));
  }
  std::vector<float> values;
  const auto length = read_floats_to_end(file->get(), size, values);
  if (!length) {
    return std::unexpected(AnalyzeError::payload_unreadable(path, os_error_text(length.error())));
  }
  if (*length != size) {
    return std::unexpected(
        AnalyzeError::payload_invalid(path, "byte length " + std::to_string(*length) +
                                                " changed after metadata check; expected " +
                                                std::to_string(expected_byte_count)));
  }
  const std::size_t count = static_cast<std::size_t>(size / 4);
  if (const std::size_t bad = decode_in_place(values, count); bad != count) {
    // A value exists, so cols is at least 1.
    return std::unexpected(AnalyzeError::payload_non_finite(bad / cols, bad % cols, path));
  }
  values.resize(count);
  return values;
}

std::vector<std::uint8_t> encode_matrix(std::span<const float> values) {
  std::vector<std::uint8_t> bytes(values.size() * 4);
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto bits = std::bit_cast<std::uint32_t>(values[i]);
      for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<std::uint8_t>(bits >> (8 * b));
    }
  }
  return bytes;
}

namespace {

// A file the payload writer must not write, by identity.
struct ReservedFile {
  dev_t device = 0;
  ino_t inode = 0;
  std::string_view message;
};

// The files of the current ResponseStreamsGuard (none outside one).
std::vector<ReservedFile>& reserved_files() {
  static std::vector<ReservedFile> files;
  return files;
}

void reserve_file(int fd, std::string_view message) {
  struct stat info {};
  if (::fstat(fd, &info) == 0 && !S_ISCHR(info.st_mode)) {
    reserved_files().push_back({info.st_dev, info.st_ino, message});
  }
}

// The message for a path that names a reserved file, or empty.
std::string_view reserved_message(const std::string& path) {
  if (reserved_files().empty()) return {};
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  for (const ReservedFile& file : reserved_files()) {
    if (file.device == info.st_dev && file.inode == info.st_ino) return file.message;
  }
  return {};
}

// A path that cannot be a payload whatever the disk says: one holding NUL, or one naming a
// reserved file.
std::expected<void, AnalyzeError> check_path(const PayloadWrite& write) {
  if (has_nul(write.path)) {
    return std::unexpected(
        AnalyzeError::output_unwritable(write.path, std::string(kNulInPathMessage)));
  }
  if (const std::string_view reserved = reserved_message(write.path); !reserved.empty()) {
    return std::unexpected(AnalyzeError::output_unwritable(write.path, std::string(reserved)));
  }
  return {};
}

std::expected<void, AnalyzeError> write_one(const PayloadWrite& write) {
  const auto fail = [&](std::string message) {
    return std::unexpected(AnalyzeError::output_unwritable(write.path, std::move(message)));
  };
  auto file = FileDescriptor::open(write.path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!file) return fail(os_error_text(file.error()));
  const int error = write_fully(file->get(), std::as_bytes(std::span(write.bytes)));
  if (error == kWriteStalled) return fail("failed to write whole buffer");
  if (error != 0) return fail(os_error_text(error));
  // A failing close can mean that written data was lost (for example on network file
  // systems); it is reported rather than taken as success.
  if (const int closed = file->close(); closed != 0) return fail(os_error_text(closed));
  return {};
}

}  // namespace

ResponseStreamsGuard::ResponseStreamsGuard(int in_fd, int out_fd, int err_fd) {
  reserved_files().clear();
  reserve_file(out_fd, "it is the engine's standard output");
  reserve_file(err_fd, "it is the engine's standard error");
  reserve_file(in_fd, "it is the engine's standard input");
}

ResponseStreamsGuard::~ResponseStreamsGuard() { reserved_files().clear(); }

std::expected<void, AnalyzeError> write_payloads(std::span<const PayloadWrite> writes) {
  // Paths refused on their own are refused before any file is opened.
  for (const PayloadWrite& write : writes) {
    if (auto checked = check_path(write); !checked) return checked;
  }
  for (const PayloadWrite& write : writes) {
    if (auto written = write_one(write); !written) return written;
  }
  return {};
}

}  // namespace quillfen::analyze
