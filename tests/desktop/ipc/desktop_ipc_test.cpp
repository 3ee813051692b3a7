// The desktop relay against stand-in helpers (ipc_peer.py) run as throwaway users (the
// tests run as root), with a seat whose active user the test sets.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "platform/active_seat_user.h"
#include "platform/unix_socket.h"
#include "desktop/ipc/desktop_ipc_server.h"
#include "desktop/ipc/ipc_channel.h"
#include "desktop/ipc/relay_peers.h"
#include "runtime/desktop_relay_service.h"
#include "support/peak_memory.h"

namespace vela {
namespace {

using testing::BackgroundProcess;
using testing::kAlice;
using testing::kBob;
using testing::kCarol;
using testing::Lines;
using testing::logged;
using testing::LogCapture;
using testing::said;
using testing::startPeer;
using testing::waitFor;

class TestSeat final : public platform::ActiveSeatUser {
 public:
  explicit TestSeat(std::optional<uid_t> user) : user_(user) {}
  std::optional<uid_t> current() override {
    MutexLock guard(mu_);
    return user_;
  }
  Result<void> watch(Changed changed) override {
    MutexLock guard(mu_);
    changed_ = std::move(changed);
    return {};
  }
  void stop() override {
    MutexLock guard(mu_);
    changed_ = nullptr;
  }
  void switchTo(std::optional<uid_t> user) {
    Changed changed;
    {
      MutexLock guard(mu_);
      user_ = user;
      changed = changed_;
    }
    if (changed) changed(user);
  }

 private:
  Mutex mu_;
  std::optional<uid_t> user_ GUARDED_BY(mu_);
  Changed changed_ GUARDED_BY(mu_);
};

void writeAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<std::size_t>(n);
  }
}

TEST(IPCChannelTest, CutsTheStreamIntoValidLinesAndClosesOnce) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  ::fcntl(fds[1], F_SETFL, 0);  // the test's end blocks
  auto channel = IPCChannel::create(fds[0]);
  Lines lines;
  std::atomic<int> closes{0};
  channel->onLine = [&](std::string line) { lines.add(std::move(line)); };
  channel->onClose = [&] { ++closes; };
  channel->resume();

  writeAll(fds[1], "one\ntwo\n");  // two lines in one read
  ASSERT_TRUE(waitFor([&] { return lines.size() == 2; }));
  writeAll(fds[1], "spl");
  usleep(20'000);
  writeAll(fds[1], "it\n\n\xff\xfe\ncr\r\n");  // empty and invalid lines are skipped
  // More than 4 MiB without LF: the unfinished line goes, what follows it counts again.
  std::string big(5 * 1024 * 1024, 'z');
  std::thread writer([&] { writeAll(fds[1], big + "tail\nlast\n"); });
  ASSERT_TRUE(waitFor([&] { return lines.size() == 6; }));
  writer.join();
  auto got = lines.get();
  EXPECT_LT(got[4].size(), IPCLineSplitter::kMaxPending);
  got[4].erase(0, got[4].size() - 5);  // the rest is megabytes of 'z'
  EXPECT_EQ(got, (std::vector<std::string>{"one", "two", "split", "cr\r", "ztail", "last"}));

  ::close(fds[1]);
  EXPECT_TRUE(channel->waitClosed(std::chrono::seconds(10)));
  EXPECT_EQ(closes, 1);
}

// A path beyond 103 bytes is cut in the address, and the socket is served and removed
// under the cut name.
TEST(IPCChannelTest, ALongSocketPathIsCutWhereTheAddressEnds) {
  testing::TempDir dir;
  const std::string path = dir.file(std::string(150, 's'));
  const std::string cut = path.substr(0, 103);
  ASSERT_LT(dir.path().size(), 100u);
  auto listening = platform::listenUnix(path, ::getuid());
  ASSERT_TRUE(listening) << listening.error().message;
  EXPECT_TRUE(std::filesystem::is_socket(cut));
  auto client = platform::connectUnix(path);
  ASSERT_TRUE(client) << client.error().message;
  ::close(*client);
  ::close(*listening);
  platform::removeSocketFile(path);
  EXPECT_FALSE(std::filesystem::exists(cut));
}

// The socket is handed to the seat user by name: in a directory someone else can change,
// that name could be swapped for a link to any file before the chown. Such a directory
// is refused; a sticky one, where nobody else can replace our entry, is not.
TEST(IPCChannelTest, ASocketDirectoryOthersCanChangeIsRefused) {
  testing::TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir.file("shared"));
  fs::permissions(dir.file("shared"), fs::perms::all);
  auto refused = platform::listenUnix(dir.file("shared/desktop.sock"), ::getuid());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "ipc socket directory refused: " + dir.file("shared") + " is writable by others");
  EXPECT_FALSE(fs::exists(dir.file("shared/desktop.sock")));

  fs::permissions(dir.file("shared"), fs::perms::all | fs::perms::sticky_bit);
  auto sticky = platform::listenUnix(dir.file("shared/desktop.sock"), ::getuid());
  ASSERT_TRUE(sticky) << sticky.error().message;
  ::close(*sticky);
  platform::removeSocketFile(dir.file("shared/desktop.sock"));

  if (::geteuid() != 0) return;
  fs::create_directories(dir.file("theirs"));
  ASSERT_EQ(::chown(dir.file("theirs").c_str(), 4242, 4242), 0);
  auto theirs = platform::listenUnix(dir.file("theirs/desktop.sock"), ::getuid());
  ASSERT_FALSE(theirs);
  EXPECT_EQ(theirs.error().message,
            "ipc socket directory refused: " + dir.file("theirs") + " is owned by uid 4242, neither root nor this user");
}

struct Relay {
  testing::TempDir dir;
  std::string path = dir.file("run/desktop.sock");
  TestSeat* seat = nullptr;
  std::unique_ptr<DesktopRelayService> service;

  explicit Relay(std::optional<uid_t> user) {
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    auto owned = std::make_unique<TestSeat>(user);
    seat = owned.get();
    service = DesktopRelayService::create(path, std::move(owned));
  }
  ~Relay() { service->stop(); }
};

bool ownedBy(const std::string& path, uid_t uid) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && info.st_uid == uid && info.st_gid == 0 &&
         (info.st_mode & 07777) == 0600 && S_ISSOCK(info.st_mode);
}

// Handing the socket to the next seat user is the relay's end-to-end test's
// (tests/desktop/e2e/desktop_relay_e2e.py); both make the socket the same way.
TEST(DesktopIPCServerTest, ServesTheSeatUserAndKeepsEveryoneElseOut) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  LogCapture capture;
  Relay relay(kAlice);
  // Carol knocks all the time, from before the socket exists until the end.
  std::string stopProbe = relay.dir.file("stop-probe");
  auto probe = startPeer(kCarol, {relay.path, "probe", stopProbe});
  usleep(200'000);
  relay.service->start();
  ASSERT_TRUE(ownedBy(relay.path, kAlice));
  auto alicesHelpers = [mark = logged.size()] {
    auto lines = logged.get();
    return std::count(lines.begin() + mark, lines.end(),
                      "info: desktop IPC: helper connected (uid " + std::to_string(kAlice) + ")");
  };

  // The log lines and the lines relayed both ways are the relay's end-to-end test's.
  auto first = startPeer(kAlice, {relay.path, "helper"});
  ASSERT_TRUE(waitFor([&] { return alicesHelpers() == 1; })) << first->out();

  std::ofstream(stopProbe).put('x');
  EXPECT_EQ(probe->wait(), 0);
  EXPECT_EQ(probe->out(), "") << "a third user got in while the socket was made";

  // Bob may open the file only because root makes it so; the peer check still throws him out.
  ::chmod(relay.path.c_str(), 0666);
  auto intruder = startPeer(kBob, {relay.path, "helper"});
  ASSERT_TRUE(waitFor([&] { return said(*intruder, "closed"); })) << intruder->out() << intruder->err();
  EXPECT_TRUE(logged.contains("desktop IPC: rejected peer uid " + std::to_string(kBob) + " (expected " +
                           std::to_string(kAlice) + ")"));
  relay.service->server()->forward(*SessionFrame::parse(R"({"type":"desktop.close","session_id":"for alice only"})"));
  ::chmod(relay.path.c_str(), 0600);

  // A second helper replaces the first.
  auto second = startPeer(kAlice, {relay.path, "helper"});
  ASSERT_TRUE(waitFor([&] { return said(*first, "closed"); }));
  ASSERT_TRUE(waitFor([&] { return alicesHelpers() == 2; }));
  relay.service->server()->forward(*SessionFrame::parse(R"({"type":"desktop.close","session_id":"to the second"})"));
  ASSERT_TRUE(waitFor([&] { return said(*second, R"(got {"session_id":"to the second","type":"desktop.close"})"); }));
  EXPECT_FALSE(said(*intruder, "got "));
}

// Without its socket the relay declines frames, so the gateway client answers them as an
// agent without desktop support would; the next hand-over that makes the socket ends that.
TEST(DesktopIPCServerTest, WithoutItsSocketTheRelayDeclinesFramesUntilAHandOverMakesIt) {
  LogCapture capture;
  Relay relay(std::nullopt);
  std::ofstream(relay.dir.file("run")) << "a file where the socket's folder belongs";
  relay.service->start();
  EXPECT_TRUE(logged.contains("warn: desktop IPC server failed: "));
  EXPECT_TRUE(logged.contains("; remote desktop disabled"));
  EXPECT_FALSE(relay.service->server()->forward(*SessionFrame::parse(R"({"type":"desktop.close","session_id":"a"})")));

  std::filesystem::remove(relay.dir.file("run"));
  relay.seat->switchTo(std::nullopt);
  EXPECT_TRUE(relay.service->server()->forward(*SessionFrame::parse(R"({"type":"desktop.close","session_id":"a"})")));
  relay.service->stop();
  EXPECT_FALSE(relay.service->server()->forward(*SessionFrame::parse(R"({"type":"desktop.close","session_id":"a"})")));
}

// Its lines are dropped at a bounded rate, so they cost the daemon neither a queue nor a
// log line each.
TEST(DesktopIPCServerTest, HostileHelperCostsBoundedMemoryAndNeverBlocksForward) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  LogCapture capture;
  const std::size_t mark = logged.size();
  Relay relay(kAlice);
  std::atomic<std::size_t> received{0};
  relay.service->server()->setUpstream([&](std::string) { ++received; });
  relay.service->start();
  testing::resetPeakRSS();
  auto before = testing::peakRSSBytes();
  // 100 MB without LF, then a flood of lines; it never reads what it is sent.
  auto flood = startPeer(kAlice, {relay.path, "flood"});
  ASSERT_TRUE(waitFor([&] { return relay.service->server()->hasHelperForTesting(); }));
  auto started = std::chrono::steady_clock::now();
  auto frame = SessionFrame::parse(R"({"type":"desktop.signal","session_id":"flood","data":")" +
                                   std::string(64 * 1024, 'f') + "\"}");
  for (int i = 0; i < 4000; ++i) relay.service->server()->forward(*frame);  // 256 MB offered
  ASSERT_TRUE(waitFor([&] { return testing::dropReports(mark).frames > 20'000; }));
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(received, 0u) << "the flood's session was never opened";
  EXPECT_LE(testing::dropReports(mark).reports, 2 + seconds);
  auto grown = testing::peakRSSBytes() - before;
  RecordProperty("peak_rss_growth_bytes", std::to_string(grown));
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps what the reads freed
  EXPECT_LT(grown, 48u << 20) << grown;
#endif
  relay.service->stop();
  EXPECT_EQ(flood->wait(), 0);
}

}  // namespace
}  // namespace vela
