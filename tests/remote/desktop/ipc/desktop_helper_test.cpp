// The real `desktop-agent` helper, as an unprivileged user on a private X server,
// serving a session opened through the test gateway and relayed by the daemon's side.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "net/pinned_trust.h"
#include "remote/desktop/ipc/desktop_ipc_server.h"
#include "remote/gateway_fixture.h"
#include "remote/gateway_shell_client.h"
#include "remote/desktop/ipc/ipc_test_support.h"
#include "support/temp_dir.h"
#include "support/xvfb_server.h"
#include "util/base64.h"

namespace vela {
namespace {

using testing::BackgroundProcess;

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

  testing::TempDir certs;
  ASSERT_TRUE(testing::makeCertificates(certs.path()));
  testing::ScopedStateDir state;
  ASSERT_TRUE(testing::writePinnedTrust(state.path(), certs.file("ca.pem")));
  testing::GatewayProcess gateway(certs.path());
  ASSERT_TRUE(gateway.ready());
  auto trust = PinnedTrust::load();
  ASSERT_TRUE(trust);

  // The daemon's side: the relay socket for the user, and the gateway client feeding it.
  auto server = DesktopIPCServer::create(path, user.uid());
  ASSERT_TRUE(server->start());
  auto client = GatewayShellClient::create("https://127.0.0.1:9443/api", *trust,
                                           testing::GatewayProcess::kToken, {}, server);
  client->start();
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] { return client->isConnectedForTesting(); }));

  auto argv = user.runAs();
  argv.insert(argv.end(), {VELA_AGENT_EXE, "desktop-agent"});
  BackgroundProcess helper("/usr/bin/setpriv", argv,
                           {{"DISPLAY", display.displayName()}, {"VELA_DESKTOP_SOCKET", path},
                            {"TMPDIR", home}, {"HOME", home}, {"VELA_LOG_FILE", std::nullopt},
                            {"LSAN_OPTIONS", "suppressions=" VELA_SOURCE_DIR "/tests/desktop/lsan.supp"}});
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] { return server->hasHelperForTesting(); })) << helper.err();
  EXPECT_TRUE(BackgroundProcess::waitUntil(
      [&] { return helper.err().find("desktop helper: connected to daemon IPC; awaiting sessions") != std::string::npos; }));

  testing::FrameReader reader(gateway);
  ASSERT_TRUE(gateway.send(R"({"type":"desktop.open","session_id":"s1","v":1,"data":")" +
                           Base64::encode(R"({"mode":"unattended","recording_required":true})") + R"("})"));
  // The helper's peer offers first; the offer is the session's first signal frame.
  auto signal = reader.nextOfType("desktop.signal", "s1");
  ASSERT_TRUE(signal) << helper.err();
  auto data = (*signal)["data"] ? (*signal)["data"]->stringValue() : std::nullopt;
  auto decoded = data ? Base64::decode(*data) : std::nullopt;
  ASSERT_TRUE(decoded);
  EXPECT_NE(std::string(decoded->begin(), decoded->end()).find("offer"), std::string::npos);
  usleep(1'500'000);  // let the recording take some frames

  // The daemon goes away.
  client->stopAndWait();
  server->stop();
  EXPECT_EQ(helper.wait(), 0) << helper.err();
  EXPECT_NE(helper.err().find("desktop helper: daemon IPC closed — killing sessions, exiting for relaunch"),
            std::string::npos);
  EXPECT_EQ(helper.err().find("did not complete"), std::string::npos) << helper.err();
  int recordings = 0;
  for (const auto& entry : std::filesystem::directory_iterator(home)) {
    if (entry.path().extension() != ".mp4") continue;
    ++recordings;
    auto bytes = testing::readFileOrEmpty(entry.path());
    // A finished fragmented recording ends with its random-access index.
    EXPECT_NE(bytes.find("mfra"), std::string::npos) << entry.path();
  }
  EXPECT_EQ(recordings, 1);
}

}  // namespace
}  // namespace vela
