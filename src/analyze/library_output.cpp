#include "analyze/library_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace quillfen::analyze {

namespace {

void move_onto_stderr(int fd) {
  while (::dup2(fd, STDERR_FILENO) < 0 && errno == EINTR) {
  }
}

}  // namespace

LibraryOutputDiverted::LibraryOutputDiverted() {
  saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved_ < 0 && errno != EBADF) return;  // no descriptor left: nothing is diverted
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) {
    if (saved_ >= 0) ::close(saved_);
    saved_ = -1;
    return;
  }
  if (null != STDERR_FILENO) {
    move_onto_stderr(null);
    ::close(null);
  }
  diverted_ = true;
}

LibraryOutputDiverted::~LibraryOutputDiverted() {
  if (!diverted_) return;
  if (saved_ < 0) {
    ::close(STDERR_FILENO);
    return;
  }
  move_onto_stderr(saved_);
  ::close(saved_);
}

namespace {

// The load-time scope lives in static storage, constructed in place: nothing here needs the C++
// runtime's own initialisation, which has not run yet when the scope begins.
alignas(LibraryOutputDiverted) unsigned char load_time_storage[sizeof(LibraryOutputDiverted)];
LibraryOutputDiverted* load_time_scope = nullptr;

}  // namespace

void divert_library_output_at_load() {
  if (load_time_scope == nullptr) load_time_scope = new (load_time_storage) LibraryOutputDiverted();
}

void end_library_output_at_load() {
  if (load_time_scope == nullptr) return;
  load_time_scope->~LibraryOutputDiverted();
  load_time_scope = nullptr;
}

}  // namespace quillfen::analyze
