#include "analyze/raw_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include "analyze/system_text.h"

namespace quillfen::analyze {
namespace {

// A read-only file descriptor closed when the owner goes.
class ReadFile {
 public:
  ReadFile() = default;
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;
  ~ReadFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Opens path for reading; returns errno on failure.
  int open(const std::string& path) {
    do {
      fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ < 0 ? errno : 0;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Reads fd to its end into storage, which is grown as needed beyond the size hint; returns
// the byte count or -errno. storage holds floats so that the bytes can be decoded in place.
std::int64_t read_to_end(int fd, std::uint64_t size_hint, std::vector<float>& storage) {
  // One spare value so that a file exactly as long as its hint reaches end of file without
  // a reallocation.
  storage.resize(static_cast<std::size_t>(size_hint / 4 + 1));
  std::size_t filled = 0;
  while (true) {
    std::size_t capacity = storage.size() * sizeof(float);
    if (filled == capacity) {
      storage.resize(storage.size() * 2);
      capacity = storage.size() * sizeof(float);
    }
    auto* bytes = reinterpret_cast<unsigned char*>(storage.data());
    const std::size_t request = std::min<std::size_t>(capacity - filled, 1u << 30);
    const ssize_t got = ::read(fd, bytes + filled, request);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -static_cast<std::int64_t>(errno);
    }
    if (got == 0) return static_cast<std::int64_t>(filled);
    filled += static_cast<std::size_t>(got);
  }
}

// Turns the first count values of storage from little-endian bytes into native floats and
// returns the index of the first value whose exponent bits are all ones, or count.
std::size_t decode_in_place(std::vector<float>& storage, std::size_t count) {
  auto* bytes = reinterpret_cast<unsigned char*>(storage.data());
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, bytes + i * 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      bits = __builtin_bswap32(bits);
      std::memcpy(bytes + i * 4, &bits, 4);
    }
    if ((bits & 0x7F800000u) == 0x7F800000u) return i;
  }
  return count;
}

}  // namespace

std::expected<std::vector<float>, AnalyzeError> read_audio_file(const std::string& path) {
  if (has_nul(path)) {
    return std::unexpected(AnalyzeError::audio_unreadable(path, std::string(kNulInPathMessage)));
  }
  ReadFile file;
  if (const int error = file.open(path); error != 0) {
    return std::unexpected(AnalyzeError::audio_unreadable(path, os_error_text(error)));
  }
  // The size is only a hint for the buffer; the file is read to its end whatever it says.
  struct stat info {};
  const std::uint64_t hint = ::fstat(file.fd(), &info) == 0 && S_ISREG(info.st_mode)
                                 ? static_cast<std::uint64_t>(info.st_size)
                                 : 0;
  std::vector<float> samples;
  const std::int64_t length = read_to_end(file.fd(), hint, samples);
  if (length < 0) {
    return std::unexpected(
        AnalyzeError::audio_unreadable(path, os_error_text(static_cast<int>(-length))));
  }
  if (length % 4 != 0) {
    return std::unexpected(AnalyzeError::audio_invalid(
        path, "byte length " + std::to_string(length) + " is not divisible by 4"));
  }
  const std::size_t count = static_cast<std::size_t>(length / 4);
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
  ReadFile file;
  if (const int error = file.open(path); error != 0) {
    return std::unexpected(AnalyzeError::payload_unreadable(path, os_error_text(error)));
  }
  std::vector<float> values;
  const std::int64_t length = read_to_end(file.fd(), size, values);
  if (length < 0) {
    return std::unexpected(
        AnalyzeError::payload_unreadable(path, os_error_text(static_cast<int>(-length))));
  }
  if (static_cast<std::uint64_t>(length) != size) {
    return std::unexpected(AnalyzeError::payload_invalid(
        path, "byte length " + std::to_string(length) + " changed after metadata check; expected " +
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

std::expected<void, AnalyzeError> write_one(const PayloadWrite& write) {
  const auto fail = [&](std::string message) {
    return std::unexpected(AnalyzeError::output_unwritable(write.path, std::move(message)));
  };
  if (has_nul(write.path)) return fail(std::string(kNulInPathMessage));
  int fd = -1;
  do {
    fd = ::open(write.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(os_error_text(errno));

  std::size_t done = 0;
  while (done < write.bytes.size()) {
    const std::size_t request = std::min<std::size_t>(write.bytes.size() - done, 1u << 30);
    const ssize_t put = ::write(fd, write.bytes.data() + done, request);
    if (put < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return fail(os_error_text(error));
    }
    if (put == 0) {
      ::close(fd);
      return fail("failed to write whole buffer");
    }
    done += static_cast<std::size_t>(put);
  }
  // A failing close can mean that written data was lost (for example on network file
  // systems); it is reported rather than taken as success. EINTR leaves the descriptor
  // closed on Linux and says nothing about the data.
  if (::close(fd) != 0 && errno != EINTR) return fail(os_error_text(errno));
  return {};
}

}  // namespace

std::expected<void, AnalyzeError> write_payloads(std::span<const PayloadWrite> writes) {
  for (const PayloadWrite& write : writes) {
    if (auto written = write_one(write); !written) return written;
  }
  return {};
}

}  // namespace quillfen::analyze
