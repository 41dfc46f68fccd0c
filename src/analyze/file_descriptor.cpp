#include "analyze/file_descriptor.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quillfen::analyze {
namespace {

constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// A descriptor the caller set to non-blocking has no data or room yet: not a failure.
bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Waits until fd is ready for events (POLLIN or POLLOUT); false when poll fails.
bool wait_until_ready(int fd, short events) {
  pollfd ready{fd, events, 0};
  while (::poll(&ready, 1, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// The call failed with errno, but may be tried again.
bool retry_after(int fd, short events) {
  return errno == EINTR || (would_block(errno) && wait_until_ready(fd, events));
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    (void)close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileDescriptor::~FileDescriptor() { (void)close(); }

std::expected<FileDescriptor, int> FileDescriptor::open(const std::string& path, int flags,
                                                        mode_t mode) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno);
  return FileDescriptor(fd);
}

int FileDescriptor::close() {
  if (fd_ < 0) return 0;
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 && errno != EINTR) return errno;
  return 0;
}

int write_fully(int fd, std::span<const std::byte> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t request = std::min(bytes.size() - done, kMaxTransfer);
    const ssize_t put = ::write(fd, bytes.data() + done, request);
    if (put < 0) {
      if (retry_after(fd, POLLOUT)) continue;
      return errno;
    }
    if (put == 0) return kWriteStalled;
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

std::expected<std::size_t, int> read_to_end(int fd, const ReadRoom& room) {
  std::size_t filled = 0;
  while (true) {
    const std::span<std::byte> free = room(filled);
    const ssize_t got = ::read(fd, free.data(), std::min(free.size(), kMaxTransfer));
    if (got < 0) {
      if (retry_after(fd, POLLIN)) continue;
      return std::unexpected(errno);
    }
    if (got == 0) return filled;
    filled += static_cast<std::size_t>(got);
  }
}

}  // namespace quillfen::analyze
