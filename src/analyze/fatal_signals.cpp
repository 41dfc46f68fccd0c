#include "analyze/fatal_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <string_view>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUILLFEN_SANITIZER_RUNTIME 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUILLFEN_SANITIZER_RUNTIME 1
#endif

namespace quillfen::analyze {
namespace {

constexpr int kFatalSignalExitStatus = 75;

// Who writes the process's one line.
enum LineState : int {
  kNoLine = 0,      // nothing written yet
  kRunLineBegun,    // the run is writing its own line
  kRunLineDone,     // the run's line is complete
  kSignalLine,      // a fatal signal's line is written; the process is ending
};

std::atomic<int> line_state{kNoLine};
std::atomic<int> line_exit_status{kFatalSignalExitStatus};
std::atomic<pid_t> line_writer{0};
int caller_stderr = STDERR_FILENO;

struct FatalSignal {
  int number;
  std::string_view line;
};

#define QUILLFEN_FATAL_SIGNAL(name)                                                      \
  FatalSignal {                                                                          \
    name, R"({"schema":"quillfen-speaker-analyze-error-v1","reason":"internal-error",)"  \
          R"("detail":"stopped by fatal signal )" #name "\"}\n"                          \
  }
constexpr FatalSignal kFatalSignals[] = {
    QUILLFEN_FATAL_SIGNAL(SIGSEGV), QUILLFEN_FATAL_SIGNAL(SIGBUS), QUILLFEN_FATAL_SIGNAL(SIGILL),
    QUILLFEN_FATAL_SIGNAL(SIGFPE), QUILLFEN_FATAL_SIGNAL(SIGABRT)};
#undef QUILLFEN_FATAL_SIGNAL

pid_t this_thread() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

[[noreturn]] void wait_for_the_end() {
  for (;;) ::pause();
}

void write_signal_line(std::string_view line) {
  while (!line.empty()) {
    const ssize_t put = ::write(caller_stderr, line.data(), line.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    line.remove_prefix(static_cast<std::size_t>(put));
  }
}

[[maybe_unused]] void on_fatal_signal(int number) {
  int state = kNoLine;
  if (line_state.compare_exchange_strong(state, kSignalLine)) {
    for (const FatalSignal& fatal : kFatalSignals) {
      if (fatal.number == number) write_signal_line(fatal.line);
    }
    ::_exit(kFatalSignalExitStatus);
  }
  if (state == kSignalLine) wait_for_the_end();  // another thread's handler ends the process
  // The run's own line is the one line: let it be completed, then end with its status.
  if (state == kRunLineBegun && line_writer.load() == this_thread()) {
    ::_exit(line_exit_status.load());
  }
  const timespec pause_between_looks{0, 10'000'000};
  while (line_state.load() != kRunLineDone) ::nanosleep(&pause_between_looks, nullptr);
  ::_exit(line_exit_status.load());
}

// The main thread's handlers run here, so that a stack overflow can be reported.
[[maybe_unused]] alignas(16) char signal_stack[64 * 1024];

}  // namespace

void install_fatal_signal_lines() {
#ifndef QUILLFEN_SANITIZER_RUNTIME
  if (const int copy = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3); copy >= 0) caller_stderr = copy;
  stack_t stack{};
  stack.ss_sp = signal_stack;
  stack.ss_size = sizeof signal_stack;
  const bool has_stack = ::sigaltstack(&stack, nullptr) == 0;
  struct sigaction action {};
  action.sa_handler = on_fatal_signal;
  action.sa_flags = has_stack ? SA_ONSTACK : 0;
  ::sigemptyset(&action.sa_mask);
  for (const FatalSignal& fatal : kFatalSignals) ::sigaddset(&action.sa_mask, fatal.number);
  for (const FatalSignal& fatal : kFatalSignals) ::sigaction(fatal.number, &action, nullptr);
#endif
}

void begin_final_line() {
  line_exit_status.store(kFatalSignalExitStatus);
  line_writer.store(this_thread());
  int state = line_state.load();
  while (state != kSignalLine && !line_state.compare_exchange_weak(state, kRunLineBegun)) {
  }
  if (state == kSignalLine) wait_for_the_end();
}

void end_final_line(int exit_status) {
  line_exit_status.store(exit_status);
  line_state.store(kRunLineDone);
}

}  // namespace quillfen::analyze
