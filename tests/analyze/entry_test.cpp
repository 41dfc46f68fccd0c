// Argument evaluation, standard-input reading and the operating-system texts used by the
// process entry.
#include "analyze/entry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "analyze/command.h"
#include "analyze/system_text.h"

namespace quillfen::analyze {
namespace {

TEST(EvaluateArgs, SelectsTheCommandOrNamesTheFirstArgument) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(evaluate_args(Args{}), Command::Analyze);
  EXPECT_EQ(evaluate_args(Args{"discovery-cluster"}), Command::DiscoveryCluster);
  EXPECT_EQ(evaluate_args(Args{"discovery-cluster", "x"}).error(), UsageError{"discovery-cluster"});
  EXPECT_EQ(evaluate_args(Args{"x", "discovery-cluster"}).error(), UsageError{"x"});
  EXPECT_EQ(evaluate_args(Args{""}).error(), UsageError{""});
  EXPECT_EQ(evaluate_args(Args{"discovery-cluster "}).error(), UsageError{"discovery-cluster "});
}

TEST(ArgumentsFromArgv, ReplacesIllFormedSequences) {
  std::string program = "engine", a = "caf\xC3\xA9", b = "\xC0\xAF\xE2\x82", c = "\xED\xA0\x80!";
  char* argv[] = {program.data(), a.data(), b.data(), c.data(), nullptr};
  const std::vector<std::string> expected = {
      "caf\xC3\xA9",
      "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",   // C0, AF, truncated E2 82
      "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!",  // a surrogate is three bad bytes
  };
  EXPECT_EQ(arguments_from_argv(4, argv), expected);
}

TEST(Utf8, ValidityFollowsTheWellFormedTable) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ascii text that is longer than eight bytes"));
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF \xE0\xA0\x80"));
  EXPECT_TRUE(is_valid_utf8(std::string("a\0b", 3)));
  for (const char* bad : {"\x80", "abcdefgh\xC3", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xF0\x9F\x98"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x98z"), "\xEF\xBF\xBDz");
}

TEST(OsErrorText, DescriptionThenNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(EISDIR), "Is a directory (os error 21)");
  EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
}

TEST(ReadRequestText, ReadsToEndAndChecksUtf8) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string body = "{\"k\":\"\xC3\xA9\"}";
  ASSERT_EQ(::write(fds[1], body.data(), body.size()), static_cast<ssize_t>(body.size()));
  ::close(fds[1]);
  EXPECT_EQ(read_request_text(fds[0]), body);
  ::close(fds[0]);

  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "{\xFF}", 3), 3);
  ::close(fds[1]);
  EXPECT_EQ(read_request_text(fds[0]).error(), "stream did not contain valid UTF-8");
  ::close(fds[0]);

  const int dir = ::open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  EXPECT_EQ(read_request_text(dir).error(), "Is a directory (os error 21)");
  ::close(dir);
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

}  // namespace
}  // namespace quillfen::analyze
