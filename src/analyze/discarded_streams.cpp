#include "analyze/discarded_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
#define QUILLFEN_SANITIZER_REPORTS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define QUILLFEN_SANITIZER_REPORTS 1
#endif
#endif
#ifdef QUILLFEN_SANITIZER_REPORTS
#include <sanitizer/common_interface_defs.h>
#endif

namespace quillfen::analyze {
namespace {

// In sanitizer builds, reports go to fd instead of descriptor 2 (which may be the sink).
void send_sanitizer_reports_to([[maybe_unused]] int fd) {
#ifdef QUILLFEN_SANITIZER_REPORTS
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
#endif
}

constexpr int kFirstFreeDescriptor = 3;  // above the standard streams

// fd moved to a number above the standard streams (closed on exec), or -1.
int above_standard_streams(int fd) {
  if (fd < 0 || fd >= kFirstFreeDescriptor) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  ::close(fd);
  return moved;
}

// A descriptor whose writes vanish: /dev/null, else the write end of a pipe whose read end is
// returned in *read_end (kept open, so writes fail with EAGAIN once it is full, never block).
int open_sink(int* read_end) {
  *read_end = -1;
  const int null = above_standard_streams(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (null >= 0) return null;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  *read_end = above_standard_streams(ends[0]);
  const int write_end = above_standard_streams(ends[1]);
  if (*read_end < 0 || write_end < 0) {
    if (*read_end >= 0) ::close(*read_end);
    if (write_end >= 0) ::close(write_end);
    *read_end = -1;
    return -1;
  }
  return write_end;
}

int dup2_retrying(int from, int to) {
  int result;
  do {
    result = ::dup2(from, to);
  } while (result < 0 && (errno == EINTR || errno == EBUSY));
  return result;
}

}  // namespace

StandardStreamsDiscarded::StandardStreamsDiscarded() {
  for (int i = 0; i < 2; ++i) {
    const int fd = i + 1;
    if (::fcntl(fd, F_GETFD) == -1) continue;  // closed: closed again at the end
    saved_[i] = ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
    if (saved_[i] < 0) {
      if (i == 1 && saved_[0] >= 0) ::close(saved_[0]);
      saved_[0] = saved_[1] = -1;
      return;
    }
  }
  int read_end = -1;
  const int sink = open_sink(&read_end);
  if (sink < 0) {
    for (int& saved : saved_) {
      if (saved >= 0) ::close(saved);
      saved = -1;
    }
    return;
  }
  dup2_retrying(sink, STDOUT_FILENO);
  dup2_retrying(sink, STDERR_FILENO);
  ::close(sink);
  // The read end stays open as long as descriptors 1 and 2 are the pipe's write end; it is
  // closed with them at the end (a sink on /dev/null has none).
  sink_read_end_ = read_end;
  diverted_ = true;
  if (saved_[1] >= 0) send_sanitizer_reports_to(saved_[1]);
}

StandardStreamsDiscarded::~StandardStreamsDiscarded() {
  if (!diverted_) return;
  send_sanitizer_reports_to(STDERR_FILENO);
  for (int i = 0; i < 2; ++i) {
    const int fd = i + 1;
    if (saved_[i] >= 0) {
      dup2_retrying(saved_[i], fd);
      ::close(saved_[i]);
    } else {
      ::close(fd);
    }
  }
  if (sink_read_end_ >= 0) ::close(sink_read_end_);
}

namespace {

// The load-time guard lives in static storage, constructed in place.
alignas(StandardStreamsDiscarded) unsigned char load_time_storage[sizeof(StandardStreamsDiscarded)];
StandardStreamsDiscarded* load_time_guard = nullptr;

}  // namespace

void discard_standard_streams_at_load() {
  if (load_time_guard == nullptr) load_time_guard = new (load_time_storage) StandardStreamsDiscarded();
}

void end_standard_streams_discarded_at_load() {
  if (load_time_guard == nullptr) return;
  load_time_guard->~StandardStreamsDiscarded();
  load_time_guard = nullptr;
}

void discard_standard_streams_until_exit() {
  int read_end = -1;
  const int sink = open_sink(&read_end);
  if (sink < 0) return;
#ifdef QUILLFEN_SANITIZER_REPORTS
  if (const int reports = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
      reports >= 0) {
    send_sanitizer_reports_to(reports);
  }
#endif
  dup2_retrying(sink, STDOUT_FILENO);
  dup2_retrying(sink, STDERR_FILENO);
  ::close(sink);
  // A pipe's read end stays open until the process ends.
}

}  // namespace quillfen::analyze
