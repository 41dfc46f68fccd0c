#include "support/paths.h"

#include <fcntl.h>
#include <linux/securebits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace quillfen::testing {

std::filesystem::path test_models_dir() { return QUILLFEN_TEST_MODELS_DIR; }

std::optional<std::filesystem::path> shared_dir() {
  std::filesystem::path dir = QUILLFEN_SHARED_DIR;
  std::error_code ec;
  if (std::filesystem::is_directory(dir / "golden", ec) ||
      std::filesystem::is_directory(dir / "models", ec)) {
    return dir;
  }
  return std::nullopt;
}

std::filesystem::path engine_path() { return QUILLFEN_ENGINE_PATH; }

std::filesystem::path source_dir() { return QUILLFEN_SOURCE_DIR; }

TempDir::TempDir() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = std::filesystem::temp_directory_path() /
                     ("quillfen-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void write_floats(const std::filesystem::path& path, const std::vector<float>& values) {
  std::string bytes(values.size() * 4, '\0');
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  write_file(path, bytes);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<float> read_floats(const std::filesystem::path& path) {
  std::string bytes = read_file(path);
  std::vector<float> values(bytes.size() / 4);
  if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * 4);
  return values;
}

namespace {

// In the child between fork and exec: only async-signal-safe calls. Returns false when a
// step failed (the child then exits with 127).
bool set_up_stream(int target, const StreamSetup& setup, int pipe_write_end) {
  switch (setup.mode) {
    case StreamSetup::Mode::Captured:
      return ::dup2(pipe_write_end, target) == target;
    case StreamSetup::Mode::Closed:
      ::close(target);
      return true;
    case StreamSetup::Mode::File: {
      const int fd = ::open(setup.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::dup2(fd, target) != target) return false;
      if (fd != target) ::close(fd);
      return true;
    }
  }
  return false;
}

bool drop_privileges() {
  for (int cap = 0; cap <= 63; ++cap) {
    if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL) return false;
  }
  // Root regains no capability when it starts the program.
  return ::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0) == 0;
}

}  // namespace

bool running_as_root() { return ::geteuid() == 0; }

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& stdin_bytes, const ProcessOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const bool drop = options.unprivileged && running_as_root();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    bool ok = true;
    if (options.stdin_path) {
      const int fd = ::open(options.stdin_path->c_str(), O_RDONLY);
      ok = ok && fd >= 0 && ::dup2(fd, 0) == 0;
    } else {
      ok = ok && ::dup2(in_pipe[0], 0) == 0;
    }
    ok = ok && set_up_stream(1, options.out, out_pipe[1]) && set_up_stream(2, options.err, err_pipe[1]);
    // Last, so that no pipe of the harness is replaced while it is still needed.
    for (const auto& [from, to] : options.inherit) ok = ok && ::dup2(from, to) == to;
    for (const auto& [resource, value] : options.limits) {
      const rlimit limit{value, value};
      ok = ok && ::setrlimit(resource, &limit) == 0;
    }
    if (drop) ok = ok && drop_privileges();
    if (ok) ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::signal(SIGPIPE, SIG_IGN);

  ProcessResult result;
  std::size_t written = 0;
  int in_fd = in_pipe[1];
  if (stdin_bytes.empty() || options.stdin_path) {
    ::close(in_fd);
    in_fd = -1;
  } else {
    ::fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open || in_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    int out_i = -1, err_i = -1, in_i = -1;
    if (out_open) { out_i = n; fds[n++] = {out_pipe[0], POLLIN, 0}; }
    if (err_open) { err_i = n; fds[n++] = {err_pipe[0], POLLIN, 0}; }
    if (in_fd >= 0) { in_i = n; fds[n++] = {in_fd, POLLOUT, 0}; }
    if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (out_i >= 0 && fds[out_i].revents) {
      ssize_t r = ::read(out_pipe[0], buf, sizeof buf);
      if (r > 0) result.out.append(buf, static_cast<std::size_t>(r)); else out_open = false;
    }
    if (err_i >= 0 && fds[err_i].revents) {
      ssize_t r = ::read(err_pipe[0], buf, sizeof buf);
      if (r > 0) result.err.append(buf, static_cast<std::size_t>(r)); else err_open = false;
    }
    if (in_i >= 0 && fds[in_i].revents) {
      if (fds[in_i].revents & (POLLERR | POLLHUP)) {
        ::close(in_fd);
        in_fd = -1;
      } else {
        ssize_t w = ::write(in_fd, stdin_bytes.data() + written, stdin_bytes.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) written = stdin_bytes.size();
        if (written == stdin_bytes.size()) {
          ::close(in_fd);
          in_fd = -1;
        }
      }
    }
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
  return result;
}

ProcessResult run_engine(const std::vector<std::string>& args, const std::string& stdin_bytes,
                         const ProcessOptions& options) {
  return run_process(engine_path().string(), args, stdin_bytes, options);
}

}  // namespace quillfen::testing
