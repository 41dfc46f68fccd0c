// Argument conversion, the UTF-8 check of standard input, and writes to a
// closed pipe.
#include "analyze/entry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
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

TEST(OutOfMemory, TheConstantLineIsTheErrorDocumentOfItsDetail) {
  EXPECT_EQ(out_of_memory_line(), error_json_line("internal-error", "out of memory") + "\n");
}

}  // namespace
}  // namespace quillfen::analyze
