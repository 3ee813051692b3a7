// Every way the agent starts a program hands it the same clean state, whatever the
// agent's own signal state and open descriptors are.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/detached_process.h"
#include "platform/pty.h"
#include "platform/shell.h"
#include "platform/signal_source.h"
#include "support/background_process.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

// The child shell's descriptors, umask, signal mask and ignored signals, then its process id,
// group and session, written to "$0" by a subshell (so the shell itself opens nothing);
// the rename makes the report appear whole.
constexpr const char* kReportScript =
    "( ls /proc/$$/fd; grep -E '^(Umask|Sig(Blk|Ign)):' /proc/$$/status;"
    " echo $$ $(cut -d' ' -f5,6 /proc/$$/stat) ) > \"$0.tmp\"; mv \"$0.tmp\" \"$0\"";

struct SpawnPath {
  const char* name;
  // Starts /bin/sh with `arguments` and returns once the report file exists.
  std::function<void(const std::vector<std::string>& arguments, const std::string& report)> run;
  bool leadsSession;  // a new session and process group, or the agent's
};

const SpawnPath kPaths[] = {
    {"ProcessRunner",
     [](const std::vector<std::string>& arguments, const std::string&) {
       auto result = Shell::run("/bin/sh", arguments);
       EXPECT_EQ(result.exitCode, 0) << result.stderr;
     },
     false},
    {"DetachedSpawn",
     [](const std::vector<std::string>& arguments, const std::string& report) {
       ASSERT_TRUE(platform::spawnDetached("/bin/sh", arguments));
       ASSERT_TRUE(
           testing::BackgroundProcess::waitUntil([&] { return std::filesystem::exists(report); }));
     },
     true},
    {"TerminalFork",
     [](const std::vector<std::string>& arguments, const std::string&) {
       std::vector<std::string> argv{"/bin/sh"};
       argv.insert(argv.end(), arguments.begin(), arguments.end());
       auto child = platform::ptyFork("/bin/sh", argv, {}, 24, 80);
       ASSERT_TRUE(child);
       EXPECT_EQ(platform::reapChild(child->pid).code, 0);
       platform::closeFD(child->masterFD);
     },
     true},
};

class ChildStateTest : public ::testing::TestWithParam<SpawnPath> {};

TEST_P(ChildStateTest, StartsWithDefaultSignalsAndOnlyStandardDescriptors) {
  // The daemon's state: SIGPIPE ignored process-wide, stop signals blocked, the
  // service's owner-only umask, and descriptors without close-on-exec (a socket, a file)
  // open.
  struct sigaction previousPipe {};
  sigaction(SIGPIPE, nullptr, &previousPipe);
  platform::ignoreBrokenPipes();
  sigset_t previousMask;
  pthread_sigmask(SIG_SETMASK, nullptr, &previousMask);
  platform::blockStopSignals();
  int sockets[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  int file = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(file, 3);
  const mode_t previousUmask = ::umask(077);

  testing::TempDir dir;
  std::string report = dir.file("report");
  GetParam().run({"-c", kReportScript, report}, report);

  ::umask(previousUmask);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(SIGPIPE, &previousPipe, nullptr);
  for (int fd : {sockets[0], sockets[1], file}) ::close(fd);

  const std::string clean = "0\n1\n2\nUmask:\t0022\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n";
  std::string text = testing::readFileOrEmpty(report);
  ASSERT_THAT(text, ::testing::StartsWith(clean));
  long pid = 0, group = 0, session = 0;
  std::istringstream(text.substr(clean.size())) >> pid >> group >> session;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(group, GetParam().leadsSession ? pid : ::getpgrp());
  EXPECT_EQ(session == pid, GetParam().leadsSession);
}

INSTANTIATE_TEST_SUITE_P(EverySpawnPath, ChildStateTest, ::testing::ValuesIn(kPaths),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vela
