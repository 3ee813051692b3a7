#include "platform/shell.h"

#include <signal.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vela {
namespace {

Shell::Result sh(const std::string& script, double timeout = 60) {
  return Shell::run("/bin/sh", {"-c", script}, std::nullopt, timeout);
}

TEST(ShellOutput, LargeStderrWithSilentStdoutCompletes) {
  auto r = sh("head -c 6000000 /dev/zero | tr '\\000' e >&2");
  EXPECT_EQ(r.exitCode, 0);  // not ended by the time limit
  EXPECT_EQ(r.stdout, "");
  EXPECT_EQ(r.stdoutDropped, 0u);
  ASSERT_EQ(r.stderr.size(), Shell::kMaxCapturedBytes);
  EXPECT_EQ(r.stderrDropped, 6000000u - Shell::kMaxCapturedBytes);
  EXPECT_EQ(r.stderr.find_first_not_of('e'), std::string::npos);
}

// The memory it takes meanwhile is bounded by the command poller's test, on endless `yes`.
TEST(ShellOutput, EndlessOutputKeepsOnlyItsTail) {
  auto r = sh("head -c 268435456 /dev/zero | tr '\\000' e; printf tail");
  EXPECT_EQ(r.exitCode, 0);
  ASSERT_EQ(r.stdout.size(), Shell::kMaxCapturedBytes);
  EXPECT_TRUE(r.stdout.ends_with("eeetail"));
  EXPECT_EQ(r.stdoutDropped, 268435460u - Shell::kMaxCapturedBytes);

  // The cut lands inside a three-byte character: the text starts at the next one.
  auto cut = sh("yes \u2713 | head -c 2000000; printf z");
  ASSERT_EQ(cut.stdout.size(), Shell::kMaxCapturedBytes - 2);
  EXPECT_TRUE(cut.stdout.starts_with("\n\u2713\n"));
  EXPECT_TRUE(cut.stdout.ends_with("\u2713\nz"));
  EXPECT_EQ(cut.stdoutDropped, 2000001u - cut.stdout.size());
}

TEST(ShellOutput, UndecodableStreamBecomesEmptyWholesale) {
  auto r = sh("printf 'ok\\377'; printf 'gr\\303\\274n' >&2");
  EXPECT_EQ(r.stdout, "");
  EXPECT_EQ(r.stderr, "gr\xc3\xbcn");
}

// Arguments reach the program verbatim, blanks and quotes included: no shell between.
TEST(ShellExit, ArgumentsAreVerbatimAndAMissingExecutableIsSpawnFailure) {
  EXPECT_EQ(Shell::runQuiet("/bin/echo", {"a b", "\"c\"", "$HOME"}), "a b \"c\" $HOME\n");
  auto r = Shell::run("/nonexistent/tool", {"x"});
  EXPECT_EQ(r.exitCode, -1);
  EXPECT_TRUE(r.stderr.starts_with("spawn failed: ")) << r.stderr;
  EXPECT_FALSE(r.timedOut);
}

// A child that ignores SIGTERM gets SIGKILL after the grace (one that heeds it is the
// next test's; that children start with SIGTERM unblocked is the child-state test's).
TEST(ShellTimeLimit, SIGKILLFollowsAfterTheGrace) {
  auto start = std::chrono::steady_clock::now();
  auto r = sh("trap '' TERM; echo before; exec sleep 60", 0.5);
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.exitCode, SIGKILL);  // sleep 60 did not run out
  EXPECT_EQ(r.stdout, "before\n");
  EXPECT_GE(elapsed.count(), 2.4);
}

// True once `pid` has ended (gone, or a zombie left for init to reap).
bool ended(pid_t pid) {
  std::string stat = testing::readFileOrEmpty("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  return close == std::string::npos || stat.substr(close + 2, 1) == "Z";
}

// The time limit ends the program, never what it started in the background.
TEST(ShellTimeLimit, InterruptSignalsOnlyTheProgram) {
  auto r = sh("sleep 60 </dev/null >/dev/null 2>&1 & echo $!; wait", 0.3);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.exitCode, SIGTERM);
  ASSERT_FALSE(r.stdout.empty());
  pid_t grandchild = std::stoi(r.stdout);
  EXPECT_FALSE(ended(grandchild));
  ::kill(grandchild, SIGKILL);
}

TEST(ShellTimeLimit, GrandchildHoldingPipesDoesNotHoldTheCaller) {
  auto r = sh("sleep 60 & echo $!", 0.3);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0);
  ASSERT_FALSE(r.stdout.empty());
  ::kill(std::stoi(r.stdout), SIGKILL);
}

TEST(ShellInput, AbsentInputIsEndOfFileLargeInputRoundTripsAndAChildMayStopReading) {
  auto none = Shell::run("/bin/cat", {}, std::nullopt, 60);
  EXPECT_EQ(none.exitCode, 0);  // not ended by the time limit
  EXPECT_EQ(none.stdout, "");

  std::string input;
  for (int i = 0; i < 200000; ++i) input += "line " + std::to_string(i) + "\n";
  auto r = Shell::run("/bin/cat", {}, input, 60);
  EXPECT_EQ(r.exitCode, 0);
  ASSERT_GT(input.size(), Shell::kMaxCapturedBytes);
  EXPECT_EQ(r.stdout, input.substr(input.size() - Shell::kMaxCapturedBytes));
  EXPECT_EQ(r.stdoutDropped, input.size() - Shell::kMaxCapturedBytes);

  auto head = Shell::run("/usr/bin/head", {"-c", "3"}, std::string(4 << 20, 'x'), 60);
  EXPECT_EQ(head.exitCode, 0);
  EXPECT_EQ(head.stdout, "xxx");
}

TEST(ShellEnvironment, ReplacementAndInheritance) {
  auto empty = Shell::run("/usr/bin/env", {}, std::nullopt, 60,
                          std::map<std::string, std::string>{});
  EXPECT_EQ(empty.exitCode, 0);
  EXPECT_EQ(empty.stdout, "");

  testing::ScopedEnv marker("VELA_SHELL_TEST_MARKER", "inherited");
  auto inherited = Shell::run("/usr/bin/env", {});
  EXPECT_NE(inherited.stdout.find("VELA_SHELL_TEST_MARKER=inherited\n"), std::string::npos);
}

}  // namespace
}  // namespace vela
