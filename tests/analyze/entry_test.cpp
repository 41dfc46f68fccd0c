// Argument conversion, the UTF-8 check of standard input, reads and writes on closed and
// non-blocking pipes, and the out-of-memory line.
#include "analyze/entry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "analyze/command.h"
#include "speakers/utf8_text.h"

namespace quillfen::analyze {
namespace {

using speakers::is_valid_utf8;
using speakers::utf8_lossy;

TEST(Utf8, ReplacementAndValidityFollowTheWellFormedTable) {
  std::string program = "engine", a = "caf\xC3\xA9", b = "\xC0\xAF\xE2\x82", c = "\xED\xA0\x80!";
  char* argv[] = {program.data(), a.data(), b.data(), c.data(), nullptr};
  const std::string fffd = "\xEF\xBF\xBD";
  // One U+FFFD per maximal subpart: C0, AF, the truncated E2 82; a surrogate is three.
  EXPECT_EQ(arguments_from_argv(4, argv),
            (std::vector<std::string>{a, fffd + fffd + fffd, fffd + fffd + fffd + "!"}));
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x98z"), fffd + "z");

  EXPECT_TRUE(is_valid_utf8("ascii longer than eight bytes \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"));
  EXPECT_TRUE(is_valid_utf8(std::string("a\0b", 3)));
  for (const char* bad : {"abcdefgh\xC3", "\xC1\xBF", "\xE0\x9F\xBF", "\xF4\x90\x80\x80"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

TEST(WriteAll, ClosedPipeIsAnErrorNotASignal) {
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  EXPECT_EQ(write_all(fds[1], "line\n"), EPIPE);
  ::close(fds[1]);
  ::sigaction(SIGPIPE, &previous, nullptr);
}

// A caller may hand over pipes set to non-blocking: an empty or full pipe means waiting, not
// failing. The other end starts late, so the engine's side meets EAGAIN first.
TEST(NonBlockingStreams, ReadingAndWritingWaitForThePipe) {
  int in[2];
  ASSERT_EQ(::pipe2(in, O_NONBLOCK), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(::write(in[1], "{\"a\":1}", 7), 7);
    ::close(in[1]);
  });
  EXPECT_EQ(read_request_text(in[0]), std::string("{\"a\":1}"));
  writer.join();
  ::close(in[0]);

  int out[2];
  ASSERT_EQ(::pipe2(out, O_NONBLOCK), 0);
  const std::string line(1 << 20, 'x');  // far more than a pipe holds
  std::string received;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::fcntl(out[0], F_SETFL, 0);
    char buffer[65536];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<std::size_t>(got));
    }
  });
  EXPECT_EQ(write_all(out[1], line), 0);
  ::close(out[1]);
  reader.join();
  ::close(out[0]);
  EXPECT_TRUE(received == line);
}

TEST(OutOfMemory, TheConstantLineIsTheErrorDocumentOfItsDetail) {
  EXPECT_EQ(out_of_memory_line(), error_json_line("internal-error", "out of memory") + "\n");
}

}  // namespace
}  // namespace quillfen::analyze
