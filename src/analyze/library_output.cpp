#include "analyze/library_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace quillfen::analyze
