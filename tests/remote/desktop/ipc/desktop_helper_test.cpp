// The real `desktop-agent` helper, as an unprivileged user on a private X server,
// serving a session the daemon's side of the relay hands it.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "remote/desktop/ipc/desktop_ipc_server.h"
#include "remote/desktop/ipc/ipc_test_support.h"
#include "support/temp_dir.h"
#include "support/xvfb_server.h"
#include "util/base64.h"

namespace vela {
namespace {

using testing::BackgroundProcess;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(DesktopHelperTest, ServesARelayedSessionAndFinishesItWhenTheDaemonGoes) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to create users";
  testing::TestUser user;
  ASSERT_TRUE(user.ok());
  testing::XvfbServer display(1280, 720);
  ASSERT_TRUE(display.running());
  testing::TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  std::string home = dir.file("home");
  std::filesystem::create_directory(home);
  ASSERT_EQ(::chown(home.c_str(), user.uid(), user.gid()), 0);
  std::string path = dir.file("desktop.sock");

  auto server = DesktopIPCServer::create(path, user.uid());
  Mutex mu;
  std::vector<std::string> upstream;
  server->setUpstream([&](std::string line) {
    MutexLock guard(mu);
    upstream.push_back(std::move(line));
  });
  auto sent = [&](const std::string& text) {
    MutexLock guard(mu);
    for (const auto& line : upstream)
      if (line.find(text) != std::string::npos) return true;
    return false;
  };
  ASSERT_TRUE(server->start());

  auto argv = user.runAs();
  argv.insert(argv.end(), {VELA_AGENT_EXE, "desktop-agent"});
  BackgroundProcess helper("/usr/bin/setpriv", argv,
                           {{"DISPLAY", display.displayName()}, {"VELA_DESKTOP_SOCKET", path},
                            {"TMPDIR", home}, {"HOME", home}, {"VELA_LOG_FILE", std::nullopt}});
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] { return server->hasHelperForTesting(); })) << helper.err();
  EXPECT_TRUE(BackgroundProcess::waitUntil(
      [&] { return helper.err().find("desktop helper: connected to daemon IPC; awaiting sessions") != std::string::npos; }));

  server->forward(R"({"type":"desktop.open","session_id":"s1","data":")" +
                  Base64::encode(R"({"mode":"unattended","recording_required":true})") + R"("})");
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] { return sent(R"("type":"desktop.signal")"); })) << helper.err();
  // The helper's peer offers first; the offer is the first signal frame.
  std::string offer;
  {
    MutexLock guard(mu);
    for (const auto& frame : upstream) {
      if (frame.find(R"("type":"desktop.signal")") == std::string::npos) continue;
      auto data = frame.substr(frame.find("\"data\":\"") + 8);
      auto decoded = Base64::decode(data.substr(0, data.find('"')));
      if (decoded) offer.assign(decoded->begin(), decoded->end());
      break;
    }
  }
  EXPECT_NE(offer.find("offer"), std::string::npos) << offer;
  usleep(1'500'000);  // let the recording take some frames

  server->stop();
  EXPECT_EQ(helper.wait(), 0) << helper.err();
  EXPECT_NE(helper.err().find("desktop helper: daemon IPC closed — killing sessions, exiting for relaunch"),
            std::string::npos);
  EXPECT_EQ(helper.err().find("did not complete"), std::string::npos) << helper.err();
  int recordings = 0;
  for (const auto& entry : std::filesystem::directory_iterator(home)) {
    if (entry.path().extension() != ".mp4") continue;
    ++recordings;
    auto bytes = readFile(entry.path());
    // A finished fragmented recording ends with its random-access index.
    EXPECT_NE(bytes.find("mfra"), std::string::npos) << entry.path();
  }
  EXPECT_EQ(recordings, 1);
}

}  // namespace
}  // namespace vela
