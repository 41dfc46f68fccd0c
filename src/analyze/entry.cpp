#include "analyze/entry.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iostream>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "analyze/analyze_error.h"
#include "analyze/command.h"
#include "analyze/discarded_streams.h"
#include "analyze/fatal_signals.h"
#include "analyze/file_descriptor.h"
#include "analyze/json.h"
#include "analyze/raw_files.h"
#include "analyze/system_text.h"
#include "speakers/utf8_text.h"

namespace quillfen::analyze {
namespace {

constexpr int kStdinFailureExitStatus = 75;
// Status when the response line cannot be written (closed pipe, full disk).
constexpr int kOutputFailureExitStatus = 75;

// Writes the run's one line, an error line, and its newline to the error stream; the run ends
// with exit_status. A failure to write cannot be reported anywhere; the exit status still tells
// the caller that the run failed.
void write_error_line(int err_fd, std::string line, int exit_status) {
  line += '\n';
  begin_final_line();
  (void)write_all(err_fd, line);
  end_final_line(exit_status);
}

// Status of a run that ended in an exception (internal-error).
constexpr int kInternalErrorExitStatus = 75;

// Writes the constant out-of-memory line as the run's one line.
void write_out_of_memory_line(int err_fd) {
  begin_final_line();
  (void)write_all(err_fd, out_of_memory_line());
  end_final_line(kInternalErrorExitStatus);
}

// One run of the entry; every exception escapes to run_entry.
int run_entry_steps(std::span<const std::string> args, int in_fd, int out_fd, int err_fd);

// The detail of the internal-error line for an exception that escaped a run. Allocates, so it
// is called only for exceptions other than allocation failures, and may itself throw
// std::bad_alloc.
std::string unexpected_failure_detail(std::exception_ptr failure) {
  try {
    std::rethrow_exception(std::move(failure));
  } catch (const std::exception& e) {
    return "unexpected failure: " + speakers::utf8_lossy(e.what());
  } catch (...) {
  }
  return "unexpected failure";
}

// The engine writes only its one line, to the descriptors directly. The runtime library writes
// messages of its own to the C++ standard streams (for example "Schema error: std::bad_alloc"
// when memory runs out while it registers its operators); those streams are failed here, so
// that nothing but the line reaches the caller.
void silence_library_streams() {
  for (std::ostream* stream : {&std::cout, &std::cerr, &std::clog}) {
    stream->setstate(std::ios_base::badbit);
  }
  for (std::wostream* stream : {&std::wcout, &std::wcerr, &std::wclog}) {
    stream->setstate(std::ios_base::badbit);
  }
}

// A standard stream the caller closed keeps its number taken by /dev/null, opened so that the
// stream's own direction fails with EBADF (as on a closed descriptor): no file the run opens
// (audio, models, payloads) can land on 0, 1 or 2 and receive the response or an error line.
void hold_closed_standard_streams() {
  const int directions[] = {O_WRONLY, O_RDONLY, O_RDONLY};  // stdin is read, the others written
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = ::open("/dev/null", directions[fd] | O_CLOEXEC);
    if (held >= 0 && held != fd) ::close(held);  // a lower number was free after all
  }
}

// The size of fd when it is a regular file.
std::optional<off_t> regular_file_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return info.st_size;
}

// Cuts a regular file back to size when it has grown beyond it.
void take_back_growth(int fd, off_t size) {
  if (const auto now = regular_file_size(fd); now && *now > size) {
    while (::ftruncate(fd, size) != 0 && errno == EINTR) {
    }
  }
}

}  // namespace

std::string_view out_of_memory_line() {
  return R"({"schema":"quillfen-speaker-analyze-error-v1","reason":"internal-error","detail":"out of memory"})"
         "\n";
}

std::expected<std::string, std::string> read_request_text(int fd) {
  std::string text;
  struct stat info {};
  std::size_t hint = 0;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    hint = static_cast<std::size_t>(info.st_size);
  }
  text.resize(std::max<std::size_t>(hint + 1, 16384));
  const auto length = read_to_end(fd, [&text](std::size_t filled) {
    if (filled == text.size()) text.resize(text.size() * 2);
    return std::as_writable_bytes(std::span(text)).subspan(filled);
  });
  if (!length) return std::unexpected(os_error_text(length.error()));
  text.resize(*length);
  if (!speakers::is_valid_utf8(text))
    return std::unexpected(std::string("stream did not contain valid UTF-8"));
  return text;
}

int write_all(int fd, std::string_view bytes) {
  const int error = write_fully(fd, std::as_bytes(std::span(bytes)));
  return error == kWriteStalled ? EIO : error;
}

int run_process_entry(int argc, char** argv) {
  end_standard_streams_discarded_at_load();
  // A closed output pipe and a file-size limit must surface as write errors (EPIPE, EFBIG),
  // not end the process silently in the middle of a write.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  hold_closed_standard_streams();
  silence_library_streams();
  install_fatal_signal_lines();
  std::vector<std::string> args;
  try {
    args = arguments_from_argv(argc, argv);
  } catch (...) {
    write_out_of_memory_line(STDERR_FILENO);
    return kInternalErrorExitStatus;
  }
  const int status = run_entry(args, STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
  // The line is written; what the runtime library may write while the process ends (its
  // environment is released after main returns) goes nowhere.
  discard_standard_streams_until_exit();
  return status;
}

int run_entry(std::span<const std::string> args, int in_fd, int out_fd, int err_fd) {
  // Any exception that escapes the steps (an allocation failure above all) ends the run with
  // one internal-error line. Out of memory, the line is a constant: writing it allocates
  // nothing. A line that needs building falls back to the constant when building it fails.
  std::exception_ptr failure;
  try {
    return run_entry_steps(args, in_fd, out_fd, err_fd);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
    // A container asked for more elements than it can hold: an allocation that cannot succeed.
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    try {
      write_error_line(
          err_fd, error_json_line("internal-error", unexpected_failure_detail(std::move(failure))),
          kInternalErrorExitStatus);
      return kInternalErrorExitStatus;
    } catch (...) {
    }
  }
  write_out_of_memory_line(err_fd);
  return kInternalErrorExitStatus;
}

namespace {

int run_entry_steps(std::span<const std::string> args, int in_fd, int out_fd, int err_fd) {
  const auto command = evaluate_args(args);
  if (!command) {
    write_error_line(err_fd, error_line_for_usage(command.error()), kUsageExitStatus);
    return kUsageExitStatus;
  }

  auto text = read_request_text(in_fd);
  if (!text) {
    write_error_line(err_fd,
                     error_json_line("internal-error", "failed to read stdin: " + text.error()),
                     kStdinFailureExitStatus);
    return kStdinFailureExitStatus;
  }

  const ResponseStreamsGuard response_streams(in_fd, out_fd, err_fd);
  auto response = run_command_request(*command, *text);
  // The request text is no longer needed while the response is rendered.
  std::string().swap(*text);
  if (!response) {
    write_error_line(err_fd, error_line_for_analyze_error(response.error()),
                     response.error().exit_status());
    return response.error().exit_status();
  }

  std::string line;
  line.reserve(128);
  json::write(line, *response);
  line += '\n';
  begin_final_line();
  const auto regular_size = regular_file_size(out_fd);
  if (const int error = write_all(out_fd, line); error != 0) {
    // A regular file gets back its earlier length: the caller never finds part of a response
    // there (what a pipe or device accepted cannot be taken back).
    if (regular_size) take_back_growth(out_fd, *regular_size);
    write_error_line(err_fd,
                     error_json_line("internal-error",
                                     "failed to write response: " + os_error_text(error)),
                     kOutputFailureExitStatus);
    return kOutputFailureExitStatus;
  }
  end_final_line(0);
  return 0;
}

}  // namespace

}  // namespace quillfen::analyze
