#include "remote/shell_session_manager.h"

#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <thread>

#include "remote/gateway_fixture.h"
#include "support/background_process.h"
#include "util/base64.h"
#include "util/serial_queue.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
using testing::countChildProcesses;
using testing::countOpenDescriptors;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Exit = OutgoingShellFrame::Exit;

bool until(const std::function<bool()>& done) { return testing::BackgroundProcess::waitUntil(done); }

// Collects what the manager sends, as a gateway would; stalled, it holds every ticket,
// as a gateway that writes nothing.
class FrameSink {
 public:
  void operator()(const OutgoingShellFrame& frame, SendBudget::Ticket ticket) {
    std::lock_guard lock(mu_);
    frames_.push_back(frame);
    if (stalled_ && ticket) held_.push_back(std::move(ticket));
  }
  void stall(bool stalled) {
    std::vector<SendBudget::Ticket> released;  // let go after the lock
    std::lock_guard lock(mu_);
    stalled_ = stalled;
    if (!stalled) released.swap(held_);
  }
  template <typename T>
  std::vector<T> all(const std::string& session) {
    std::lock_guard lock(mu_);
    std::vector<T> out;
    for (const auto& f : frames_) {
      if (auto* p = std::get_if<T>(&f.payload); p && p->sessionID == session) out.push_back(*p);
    }
    return out;
  }
  std::string output(const std::string& session) {
    std::string text;
    for (const auto& s : all<OutgoingShellFrame::Stdout>(session)) text += toString(s.data);
    return text;
  }
  bool waitForExit(const std::string& session) {
    return until([&] { return !all<Exit>(session).empty(); });
  }
  bool waitForOutput(const std::string& session, const std::string& text) {
    return until([&] { return output(session).find(text) != std::string::npos; });
  }

 private:
  std::mutex mu_;
  std::vector<OutgoingShellFrame> frames_;
  bool stalled_ = false;
  std::vector<SendBudget::Ticket> held_;
};

class ShellSessionManagerTest : public ::testing::Test {
 protected:
  // Shells of an earlier test may still be on their way out; start from none.
  void SetUp() override { ASSERT_TRUE(waitForChildren(0)); }

  std::shared_ptr<ShellSessionManager> makeManager(ShellSessionManager::Options options = {}) {
    if (!options.shellOverride) options.shellOverride = "/bin/sh";
    // A session's last frame may still be on its way out when the test ends; the
    // callback keeps the sink it writes to alive.
    return ShellSessionManager::create(
        [s = sinkOwner_](const OutgoingShellFrame& f, SendBudget::Ticket t) { (*s)(f, std::move(t)); },
        options);
  }

  static IncomingShellFrame open(const std::string& id) {
    return {IncomingShellFrame::Open{id, "auto", 80, 24}};
  }
  static IncomingShellFrame input(const std::string& id, const std::string& text) {
    return {IncomingShellFrame::Stdin{id, toBytes(text)}};
  }
  static IncomingShellFrame close(const std::string& id) {
    return {IncomingShellFrame::Close{id, "operator"}};
  }

  static bool waitForChildren(int expected) { return until([&] { return countChildProcesses() == expected; }); }

  std::shared_ptr<FrameSink> sinkOwner_ = std::make_shared<FrameSink>();
  FrameSink& sink = *sinkOwner_;
};

TEST_F(ShellSessionManagerTest, ShellRunsResizesBatchesOutputAndReportsItsExitCode) {
  auto manager = makeManager();
  manager->handle(open("s1"));
  EXPECT_THAT(sink.all<OutgoingShellFrame::Opened>("s1"),
              ElementsAre(::testing::Field(&OutgoingShellFrame::Opened::shell, "/bin/sh")));

  manager->handle(input("s1", "stty size\n"));
  ASSERT_TRUE(sink.waitForOutput("s1", "24 80"));
  // Out-of-range sizes are clamped rather than wrapped.
  for (auto [cols, rows, shown] : {std::tuple{100, 40, "40 100"}, {70000, -5, "0 65535"}}) {
    manager->handle({IncomingShellFrame::Resize{"s1", cols, rows}});
    manager->handle(input("s1", "stty size\n"));
    ASSERT_TRUE(sink.waitForOutput("s1", shown));
  }

  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += static_cast<char>('A' + i % 26);
  manager->handle(input("s1", "echo \"[$TERM]\"; awk 'BEGIN{for(i=0;i<20000;i++) printf \"%c\", "
                              "65+i%26}'; exit 3\n"));
  ASSERT_TRUE(sink.waitForExit("s1"));
  std::string out = sink.output("s1");
  EXPECT_THAT(out, HasSubstr("[xterm-256color]\r\n"));
  EXPECT_NE(out.find(expected), std::string::npos);
  auto chunks = sink.all<OutgoingShellFrame::Stdout>("s1");
  EXPECT_GE(chunks.size(), 2u);
  for (const auto& c : chunks)
    EXPECT_TRUE(!c.data.empty() && c.data.size() < 16384u) << c.data.size();
  // `exit 3`'s exit frame is the gateway client's test's; that it comes once, the close race's.

  auto broken = makeManager({5, 0, 0, std::string("/nonexistent/shell"), nullptr});
  broken->handle(open("bad"));
  ASSERT_TRUE(sink.waitForExit("bad"));
  EXPECT_EQ(sink.all<Exit>("bad")[0].code, 127);
}

// A gateway that writes nothing: the session stops reading its terminal near its mark
// and the child blocks; once the queue drains, every byte still arrives. Tearing down a
// stalled session releases its reader.
TEST_F(ShellSessionManagerTest, UndrainedOutputPausesTheShellUntilItDrains) {
  constexpr std::size_t kMark = 64 * 1024;
  auto manager = makeManager({5, 0, 0, std::nullopt, SendBudget::create(kMark, 8 * kMark)});
  auto received = [&](const std::string& id) { return sink.output(id).size(); };
  auto pastHalfMark = [&](const std::string& id) { return until([&] { return received(id) > kMark / 2; }); };
  sink.stall(true);
  manager->handle(open("p"));
  manager->handle(input("p", "stty raw -echo; head -c 4000000 /dev/zero; exit 0\n"));
  ASSERT_TRUE(pastHalfMark("p"));
  std::this_thread::sleep_for(300ms);
  std::size_t paused = received("p");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(received("p"), paused);
  // The stalled bytes, the batch in hand and one terminal read at most.
  EXPECT_LE(paused, kMark * 3 / 4 + 2 * 16384);
  sink.stall(false);
  ASSERT_TRUE(sink.waitForExit("p"));
  std::string out = sink.output("p");
  EXPECT_EQ(std::count(out.begin(), out.end(), '\0'), 4000000);

  sink.stall(true);
  manager->handle(open("q"));
  manager->handle(input("q", "stty raw -echo; cat /dev/zero\n"));
  ASSERT_TRUE(pastHalfMark("q"));
  manager->handle(close("q"));
  ASSERT_TRUE(sink.waitForExit("q"));
  EXPECT_EQ(manager->activeCount(), 0);
  EXPECT_TRUE(waitForChildren(0));
  sink.stall(false);
}

// A close racing the child's own end, in both orders, yields exactly one exit frame.
TEST_F(ShellSessionManagerTest, CloseAndChildEndSendExactlyOneExit) {
  auto manager = makeManager();
  manager->handle(open("x"));
  manager->handle(close("x"));
  manager->handle(close("x"));
  manager->handle(open("y"));
  manager->handle(input("y", "exit 7\n"));
  ASSERT_TRUE(sink.waitForExit("y"));
  manager->handle(close("y"));
  ASSERT_TRUE(sink.waitForExit("x"));
  ASSERT_TRUE(waitForChildren(0));
  std::this_thread::sleep_for(200ms);  // room for a wrong second exit to show up
  EXPECT_THAT(sink.all<Exit>("x"), ElementsAre(Exit{"x", std::nullopt, 1}));
  EXPECT_THAT(sink.all<Exit>("y"), ElementsAre(Exit{"y", 7, std::nullopt}));
}

TEST_F(ShellSessionManagerTest, WatchdogsEndQuietOrOverlongSessions) {
  auto idle = makeManager({5, 0.5, 0, std::nullopt, nullptr});
  auto capped = makeManager({5, 0, 0.5, std::nullopt, nullptr});
  idle->handle(open("idle"));
  capped->handle(open("long"));
  // Resizes are not activity; keep-alives do not extend the cap.
  for (int i = 0; i < 10; ++i) {
    idle->handle({IncomingShellFrame::Resize{"idle", 80 + i, 24}});
    capped->handle(input("long", ""));
    std::this_thread::sleep_for(100ms);
  }
  for (const char* id : {"idle", "long"}) {
    ASSERT_TRUE(sink.waitForExit(id));
    EXPECT_THAT(sink.all<Exit>(id), ElementsAre(Exit{id, std::nullopt, 1}));
  }
}

TEST_F(ShellSessionManagerTest, ShellResolutionPrefersAbsolutePaths) {
  auto manager = ShellSessionManager::create([](const OutgoingShellFrame&, SendBudget::Ticket) {}, {});
  auto resolved = [&](std::optional<std::string> shellVariable, const std::string& asked) {
    testing::ScopedEnv shell("SHELL", shellVariable);
    return manager->resolveShell(asked);
  };
  EXPECT_EQ(resolved(std::nullopt, "auto"), "/bin/bash");
  EXPECT_EQ(resolved(std::nullopt, "zsh"), "/bin/bash");
  EXPECT_EQ(resolved(std::nullopt, "/bin/dash"), "/bin/dash");
  EXPECT_EQ(resolved("/bin/sh", "zsh"), "/bin/sh");
  EXPECT_EQ(resolved("fish", "auto"), "/bin/bash");
}

TEST_F(ShellSessionManagerTest, CapHostileFramesAndManySessionsLeakNothing) {
  {
    // One session first, so lazily opened process-wide handles (the system log's
    // socket) are not counted as leaks.
    auto warmUp = makeManager();
    warmUp->handle(open("warm-up"));
    warmUp->handle(close("warm-up"));
    ASSERT_TRUE(sink.waitForExit("warm-up"));
  }
  ASSERT_TRUE(waitForChildren(0));
  int fds = countOpenDescriptors();
  {
    auto manager = makeManager();
    // The sixth session is refused without a process; a live id's duplicate is ignored.
    for (int i = 0; i < 5; ++i) manager->handle(open("c" + std::to_string(i)));
    EXPECT_EQ(countChildProcesses(), 5);
    manager->handle(open("c5"));
    manager->handle(open("c0"));
    EXPECT_THAT(sink.all<OutgoingShellFrame::Error>("c5"),
                ElementsAre(OutgoingShellFrame::Error{"c5", "too_many_sessions",
                                                      "agent session cap (5) reached"}));
    EXPECT_EQ(sink.all<OutgoingShellFrame::Opened>("c0").size(), 1u);
    EXPECT_EQ(countChildProcesses(), 5);
    manager->killAll();
    EXPECT_TRUE(waitForChildren(0));
    EXPECT_EQ(sink.all<Exit>("c0").size(), 0u);  // no frame on connection loss

    for (const char* text : {R"({"type":"shell.stdin","session_id":"ghost","data":"ZWNobwo="})",
                             R"({"type":"shell.resize","session_id":"ghost","cols":1e9})",
                             R"({"type":"shell.close","session_id":"ghost"})",
                             R"({"type":"shell.open","session_id":"h","cols":-1,"rows":"x"})",
                             R"({"type":"shell.open","session_id":"h","cols":99999999999999999999})"}) {
      if (auto frame = IncomingShellFrame::parse(text)) manager->handle(*frame);
    }
    // A huge keystroke burst is written once; the terminal takes what fits.
    auto burst = IncomingShellFrame::parse(R"({"type":"shell.stdin","session_id":"h","data":")" +
                                           Base64::encode(std::string(4 << 20, 'A')) + R"("})");
    ASSERT_TRUE(burst);
    manager->handle(*burst);
    manager->killAll();

    for (int round = 0; round < 20; ++round) {
      std::vector<std::string> ids;
      for (int i = 0; i < 5; ++i) ids.push_back("r" + std::to_string(round) + "-" + std::to_string(i));
      for (const auto& id : ids) manager->handle(open(id));
      for (std::size_t i = 0; i < ids.size(); ++i) manager->handle(i % 2 ? close(ids[i]) : input(ids[i], "exit 0\n"));
      for (const auto& id : ids) ASSERT_TRUE(sink.waitForExit(id)) << id;
    }
    EXPECT_EQ(manager->activeCount(), 0);
  }
  EXPECT_TRUE(waitForChildren(0));
  EXPECT_TRUE(until([&] { return countOpenDescriptors() == fds; })) << countOpenDescriptors() << " vs " << fds;
}

// A reaped child's pid may be handed to the next process at once. The test runs itself
// again as the first process of a private pid namespace, where it can choose the pid
// of the next child, and puts a bystander exactly there.
TEST(PTYSessionTest, TerminateAfterTheChildWasReapedSignalsNobodyElse) {
  constexpr const char* kInside = "VELA_TEST_PTY_IN_PID_NAMESPACE";
  if (std::getenv(kInside) == nullptr) {
    using Args = std::vector<std::string>;
    Args launcher{"--user", "--map-root-user", "--pid", "--fork"};
    Args probe = launcher;
    probe.push_back("/bin/true");
    if (testing::runProcess("/usr/bin/unshare", probe).status != 0) {
      GTEST_SKIP() << "no permission to create a pid namespace";
    }
    launcher.insert(launcher.end(), {std::filesystem::read_symlink("/proc/self/exe").string(),
                                     "--gtest_filter=PTYSessionTest.TerminateAfterTheChild*"});
    auto inside = testing::runProcess("/usr/bin/unshare", launcher, {{kInside, "1"}});
    EXPECT_EQ(inside.status, 0) << inside.out << inside.err;
    EXPECT_THAT(inside.out, HasSubstr("[  PASSED  ] 1 test"));
    return;
  }
  auto pty = PTYSession::spawn("/bin/sh", {"-c", "exit 0"}, {}, 24, 80);
  ASSERT_TRUE(pty);
  Semaphore exited;
  (*pty)->startReading([](Bytes) {}, [&](PTYSession::Exit) { exited.signal(); });
  exited.wait();
  const pid_t reaped = (*pty)->pid();
  std::ofstream("/proc/sys/kernel/ns_last_pid") << reaped - 1 << std::flush;
  pid_t bystander = fork();
  if (bystander == 0) {
    pause();
    _exit(0);
  }
  ASSERT_EQ(bystander, reaped);
  EXPECT_FALSE((*pty)->isRunning());
  (*pty)->terminate();
  // Pending signals arrive lowest number first: a stray SIGHUP would beat this SIGTERM.
  kill(bystander, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(bystander, &status, 0), bystander);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

}  // namespace
}  // namespace vela
