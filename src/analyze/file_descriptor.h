// File descriptors of the front end: an owner that closes its descriptor when it goes, and the
// transfer loops every read and write needs. Interrupted calls are retried, partial transfers
// continued, and a non-blocking descriptor that has no data or room yet is waited on.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quillfen::analyze {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  // Closes the descriptor; a failure of that close is not reported (see close()).
  ~FileDescriptor();

  // Opens path with flags | O_CLOEXEC (mode applies when a file is created), retrying an
  // interrupted open. Fails with the errno of the open. path must not hold a NUL character.
  [[nodiscard]] static std::expected<FileDescriptor, int> open(const std::string& path, int flags,
                                                               mode_t mode = 0);

  [[nodiscard]] int get() const { return fd_; }

  // Closes now: 0, or the errno of a failing close. EINTR counts as closed (on Linux the
  // descriptor is gone and says nothing about the data).
  [[nodiscard]] int close();

 private:
  explicit FileDescriptor(int fd) : fd_(fd) {}

  int fd_ = -1;
};

// Result of write_fully when a write accepted no byte (not an errno).
inline constexpr int kWriteStalled = -1;

// Writes all of bytes to fd, at most 1 GiB per call. Returns 0, the errno of the failing
// write, or kWriteStalled.
[[nodiscard]] int write_fully(int fd, std::span<const std::byte> bytes);

// Where read_to_end puts the next bytes: the writable storage after the first `filled` bytes
// read so far, never empty (the caller grows its storage when it is full).
using ReadRoom = std::function<std::span<std::byte>(std::size_t filled)>;

// Reads fd to its end, at most 1 GiB per call, into the storage room gives. Returns the number
// of bytes read, or the errno of the failing read.
[[nodiscard]] std::expected<std::size_t, int> read_to_end(int fd, const ReadRoom& room);

}  // namespace quillfen::analyze
