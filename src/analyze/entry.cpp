#include "analyze/entry.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "analyze/analyze_error.h"
#include "analyze/command.h"
#include "analyze/json.h"
#include "analyze/system_text.h"
#include "speakers/utf8_text.h"

namespace quillfen::analyze {
namespace {

constexpr int kStdinFailureExitStatus = 75;
// Status when the response line cannot be written (closed pipe, full disk).
constexpr int kOutputFailureExitStatus = 75;

// Writes one error line and its newline to the error stream. A failure to do so cannot be
// reported anywhere; the exit status still tells the caller that the run failed.
void write_error_line(int err_fd, std::string line) {
  line += '\n';
  (void)write_all(err_fd, line);
}

}  // namespace

std::expected<std::string, std::string> read_request_text(int fd) {
  std::string text;
  struct stat info {};
  std::size_t hint = 0;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    hint = static_cast<std::size_t>(info.st_size);
  }
  text.resize(std::max<std::size_t>(hint + 1, 16384));
  std::size_t filled = 0;
  while (true) {
    if (filled == text.size()) text.resize(text.size() * 2);
    const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(os_error_text(errno));
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  text.resize(filled);
  if (!speakers::is_valid_utf8(text))
    return std::unexpected(std::string("stream did not contain valid UTF-8"));
  return text;
}

int write_all(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (put == 0) return EIO;
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

int run_process_entry(int argc, char** argv) {
  // A closed output pipe must surface as a write error, not end the process silently.
  ::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args = arguments_from_argv(argc, argv);
  return run_entry(args, STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
}

int run_entry(std::span<const std::string> args, int in_fd, int out_fd, int err_fd) {
  const auto command = evaluate_args(args);
  if (!command) {
    write_error_line(err_fd, error_line_for_usage(command.error()));
    return kUsageExitStatus;
  }

  auto text = read_request_text(in_fd);
  if (!text) {
    write_error_line(err_fd,
                     error_json_line("internal-error", "failed to read stdin: " + text.error()));
    return kStdinFailureExitStatus;
  }

  auto response = run_command_request(*command, *text);
  // The request text is no longer needed while the response is rendered.
  std::string().swap(*text);
  if (!response) {
    write_error_line(err_fd, error_line_for_analyze_error(response.error()));
    return response.error().exit_status();
  }

  std::string line;
  line.reserve(128);
  json::write(line, *response);
  line += '\n';
  if (const int error = write_all(out_fd, line); error != 0) {
    write_error_line(err_fd, error_json_line("internal-error",
                                             "failed to write response: " + os_error_text(error)));
    return kOutputFailureExitStatus;
  }
  return 0;
}

}  // namespace quillfen::analyze
