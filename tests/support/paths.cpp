#include "support/paths.h"

#include <fcntl.h>
#include <linux/securebits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

namespace quillfen::testing {

std::filesystem::path test_models_dir() { return QUILLFEN_TEST_MODELS_DIR; }

std::filesystem::path repo_data_dir() { return std::filesystem::path(QUILLFEN_SOURCE_DIR) / "tests" / "data"; }

std::optional<std::filesystem::path> external_data_dir() {
  const std::filesystem::path dir = QUILLFEN_EXTERNAL_TEST_DATA;
  if (dir.empty()) return std::nullopt;
  return dir;
}

std::vector<std::filesystem::path> data_dirs() {
  std::vector<std::filesystem::path> dirs{repo_data_dir()};
  if (auto external = external_data_dir()) dirs.push_back(*external);
  return dirs;
}

std::filesystem::path trained_segmentation_model() {
  return repo_data_dir() / "models" / "pyannote-segmentation-3.0-int8.onnx";
}

std::size_t Recording::speaker_count() const {
  std::set<std::string> speakers;
  for (const auto& turn : turns) speakers.insert(turn.speaker);
  return speakers.size();
}

std::vector<Recording> recordings() {
  std::vector<Recording> found;
  for (const auto& dir : data_dirs()) {
    const auto audio = dir / "audio";
    std::error_code ec;
    if (!std::filesystem::is_directory(audio, ec)) continue;
    std::vector<std::filesystem::path> wavs;
    std::map<std::string, std::vector<SpeakerTurn>> turns_by_file_id;
    for (const auto& entry : std::filesystem::directory_iterator(audio)) {
      if (entry.path().extension() == ".wav") wavs.push_back(entry.path());
      if (entry.path().extension() != ".rttm") continue;
      std::istringstream lines(read_file(entry.path()));
      for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string type, file_id, channel, na1, na2, speaker;
        double start = 0.0, duration = 0.0;
        if (fields >> type >> file_id >> channel >> start >> duration >> na1 >> na2 >> speaker &&
            type == "SPEAKER") {
          turns_by_file_id[file_id].push_back({start, start + duration, speaker});
        }
      }
    }
    std::sort(wavs.begin(), wavs.end());
    for (const auto& wav : wavs) {
      // A copy of a recording listed already (an external folder may hold the repository's).
      if (std::ranges::any_of(found, [&](const Recording& r) {
            return r.wav.filename() == wav.filename();
          })) {
        continue;
      }
      const std::string name = wav.stem().string();
      const std::string last_part = name.substr(name.rfind('_') + 1);
      for (const std::string& id : {name, last_part}) {
        if (auto it = turns_by_file_id.find(id); it != turns_by_file_id.end()) {
          found.push_back({wav, it->second});
          break;
        }
      }
    }
  }
  return found;
}

std::vector<float> read_wav_mono_16k(const std::filesystem::path& path) {
  const std::string bytes = read_file(path);
  auto u16 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
  };
  auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  auto fail = [&](const std::string& why) {
    return std::runtime_error(path.string() + ": " + why);
  };
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
    throw fail("not a RIFF/WAVE file");
  }
  std::uint32_t format = 0, bits = 0;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id = bytes.substr(at, 4);
    const std::size_t size = u32(at + 4);
    const std::size_t body = at + 8;
    if (id == "fmt ") {
      if (body + 16 > bytes.size()) throw fail("short fmt chunk");
      format = u16(body);
      bits = u16(body + 14);
      if (u16(body + 2) != 1) throw fail("not mono");
      if (u32(body + 4) != 16000) throw fail("not 16000 Hz");
    } else if (id == "data") {
      const std::size_t length = std::min(size, bytes.size() - body);
      std::vector<float> samples;
      if (format == 1 && bits == 16) {
        samples.reserve(length / 2);
        for (std::size_t i = 0; i + 2 <= length; i += 2) {
          samples.push_back(static_cast<float>(static_cast<std::int16_t>(u16(body + i))) /
                            32768.0f);
        }
      } else if (format == 3 && bits == 32) {
        samples.resize(length / 4);
        std::memcpy(samples.data(), bytes.data() + body, samples.size() * 4);
      } else {
        throw fail("unsupported WAV format " + std::to_string(format) + "/" +
                   std::to_string(bits));
      }
      return samples;
    }
    at = body + size + (size & 1);
  }
  throw fail("no data chunk");
}

std::filesystem::path engine_path() {
  // Benchmarks may compare another build of the engine with this one.
  if (const char* other = std::getenv("QUILLFEN_ENGINE"); other != nullptr && *other != 0)
    return other;
  return QUILLFEN_ENGINE_PATH;
}

std::filesystem::path source_dir() { return QUILLFEN_SOURCE_DIR; }

std::filesystem::path bench_cache_dir() {
  std::filesystem::path dir;
  if (const char* chosen = std::getenv("QUILLFEN_BENCH_CACHE"); chosen != nullptr && *chosen != 0) {
    dir = chosen;
  } else {
    const char* home = std::getenv("HOME");
    dir = std::filesystem::path(home != nullptr && *home != 0 ? home : "/tmp") / ".cache" /
          "quillfen-bench";
  }
  std::filesystem::create_directories(dir);
  return dir;
}

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
      const int fd =
          ::open(setup.path.c_str(), O_WRONLY | O_CREAT | (setup.append ? O_APPEND : O_TRUNC), 0644);
      if (fd < 0 || ::dup2(fd, target) != target) return false;
      if (fd != target) ::close(fd);
      return true;
    }
  }
  return false;
}

// A mount namespace of the child's own, with an empty tmpfs over each directory.
bool empty_directories(const std::vector<std::string>& directories) {
  if (directories.empty()) return true;
  if (::unshare(CLONE_NEWNS) != 0) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  for (const std::string& directory : directories) {
    if (::mount("none", directory.c_str(), "tmpfs", 0, nullptr) != 0) return false;
  }
  return true;
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

bool can_empty_directories() {
  static const bool can = [] {
    const std::vector<std::string> scratch = {"/tmp"};
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) ::_exit(empty_directories(scratch) ? 0 : 1);
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
  }();
  return can;
}

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
    ok = ok && empty_directories(options.emptied);
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
