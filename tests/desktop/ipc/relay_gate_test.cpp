// What the root daemon passes between the gateway and a desktop helper it cannot trust:
// the helper's forged and flooded lines, and gateway frames whose white space holds
// line breaks.

#include "desktop/ipc/relay_gate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "desktop/ipc/desktop_ipc_server.h"
#include "desktop/ipc/relay_peers.h"
#include "remote/gateway_fixture.h"
#include "remote/gateway_client.h"
#include "support/enrolled_agent.h"
#include "util/canonical_json.h"

namespace vela {
namespace {

using testing::kAlice;
using testing::logged;
using testing::startPeer;
using testing::waitFor;

std::string signal(const std::string& session) {
  return R"({"type":"desktop.signal","session_id":")" + session + R"(","data":"e30="})";
}

// The gate on its own, with made-up times.
TEST(RelayGateTest, PassesTheBurstThenTheRateOnlyForItsSessionsAndReportsDropsOnceASecond) {
  RelayGate gate;
  const auto start = RelayGate::Clock::now();
  std::vector<std::string> warnings;
  auto admit = [&](int times, const std::string& line, double second) {
    auto at = start + std::chrono::duration_cast<RelayGate::Clock::duration>(
                          std::chrono::duration<double>(second));
    int passed = 0;
    for (int i = 0; i < times; ++i) {
      auto verdict = gate.admit(line, at);
      passed += verdict.frame.has_value();
      if (verdict.warning) warnings.push_back(*verdict.warning);
    }
    return passed;
  };
  for (int i = 1; i <= 17; ++i) gate.opened("s" + std::to_string(i));  // s1 is forgotten

  EXPECT_EQ(admit(1, signal("s1"), 0), 0);
  EXPECT_EQ(admit(250, signal("s2"), 0), 199);
  EXPECT_EQ(admit(100, signal("s2"), 0.5), 50);
  EXPECT_EQ(admit(1, signal("s2"), 1.0), 1);
  // Idle for a minute: no more than the burst again.
  EXPECT_EQ(admit(300, signal("s2"), 60), 200);
  EXPECT_EQ(
      warnings,
      (std::vector<std::string>{
          "desktop IPC: dropped 1 frame from the helper (session not opened through this helper)",
          "desktop IPC: dropped 101 frames from the helper (over the rate limit)",
          "desktop IPC: dropped 1 frame from the helper (over the rate limit)"}));
  EXPECT_EQ(gate.flush(), "desktop IPC: dropped 99 frames from the helper (over the rate limit)");
  EXPECT_EQ(gate.flush(), std::nullopt);

  // The helper's "desktop.closed" ends the session for it.
  EXPECT_EQ(admit(1, R"({"type":"desktop.closed","session_id":"s2","reason":"peer_closed"})", 120),
            1);
  EXPECT_EQ(admit(1, signal("s2"), 120), 0);
  EXPECT_EQ(admit(1, signal("s3"), 120), 1);

  // Bytes count too: 2 MiB at once, then 1 MiB a second, and no frame over 256 KiB.
  auto sized = [](std::size_t bytes) {
    return R"({"type":"desktop.signal","session_id":"s3","data":")" + std::string(bytes, 'A') + R"("})";
  };
  EXPECT_EQ(admit(20, sized(200 * 1024), 200), 10);
  EXPECT_EQ(admit(20, sized(200 * 1024), 201), 5);
  EXPECT_EQ(gate.flush(), "desktop IPC: dropped 15 frames from the helper (over the rate limit)");
  EXPECT_EQ(admit(1, sized(300 * 1024), 300), 0);
  EXPECT_EQ(warnings.back(), "desktop IPC: dropped 1 frame from the helper (larger than 262144 bytes)");
}

class RelayThroughGatewayTest : public testing::ControlPlaneSuite {};

// The gateway opens s1 and s2 on a helper that answers with frames of every kind: only
// its well-formed desktop frames for those sessions reach the gateway. Each frame the
// gateway sends arrives as one line, however its white space is broken.
TEST_F(RelayThroughGatewayTest, OnlyTheHelpersDesktopFramesReachTheGatewayAndEachFrameIsOneLine) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  testing::LogCapture capture;
  const std::size_t mark = logged.size();
  testing::TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  auto server = DesktopIPCServer::create(dir.file("desktop.sock"), kAlice);
  ASSERT_TRUE(server->start());
  testing::GatewayProcess gateway(cp_->dir());
  ASSERT_TRUE(gateway.ready());
  auto client = GatewayClient::create("https://127.0.0.1:9443/api", trust_,
                                           testing::GatewayProcess::kToken, {}, server);
  client->start();
  ASSERT_TRUE(waitFor([&] { return client->isConnectedForTesting(); }));

  std::ofstream(dir.file("answer"))
      << R"({"type":"shell.stdout","session_id":"root-shell","data":"cm9vdCMK"}
{"type":"shell.exit","session_id":"root-shell","code":0,"signal":null,"v":1}
{"type":"inventory.result","request_id":"r1","data":"e30="}
{"type":"desktop.opened","session_id":"someone-else","data":"e30="}
{"type":"desktop.opened","session_id":"evil","data":"e30="}
not json
{"type":"desktop.signal","session_id":"s1"}
{"type":"desktop.signal","session_id":"s1","data":{"kind":"offer"}}
{"type":"desktop.signal","session_id":7,"data":"e30="}
{"type":"desktop.signal","session_id":"s1","data":"e30=","then":"shell.exit"}
{ "data" : "e30=",  "type" : "desktop.signal", "session_id" : "s1" }
{"type":"desktop.closed","session_id":"s1","reason":"peer_closed"}
{"type":"desktop.signal","session_id":"s1","data":"bGF0ZQ=="}
{"type":"desktop.error","session_id":"s2","message":"last"}
)";
  auto helper = startPeer(kAlice, {dir.file("desktop.sock"), "burst", "3", dir.file("answer")});
  ASSERT_TRUE(waitFor([&] { return server->hasHelperForTesting(); })) << helper->err();

  ASSERT_TRUE(gateway.send("{\"type\":\"desktop.open\",\n\"session_id\":\"s1\"}"));
  // Cut at its line breaks, this close would carry an open for another session.
  ASSERT_TRUE(
      gateway.send("{\"type\":\"desktop.close\",\"session_id\":\"s9\",\"pad\":[\n{\"type\":"
                   "\"desktop.open\",\"session_id\":"
                   "\"evil\"}\n]}"));
  ASSERT_TRUE(gateway.send(R"({"type":"desktop.open","session_id":"s2"})"));

  ASSERT_TRUE(gateway.nextOfType("desktop.error", "s2"));
  std::vector<std::string> before;
  for (const auto& frame : gateway.skipped) before.push_back(CanonicalJSON::encode(frame));
  EXPECT_EQ(before, (std::vector<std::string>{
                        R"({"data":"e30=","session_id":"s1","type":"desktop.signal"})",
                        R"({"reason":"peer_closed","session_id":"s1","type":"desktop.closed"})"}));

  // Hung up and every line read: the server lets go of the channel only after that.
  ASSERT_TRUE(waitFor([&] { return helper->exited() && !server->hasHelperForTesting(); }));
  client->stopAndWait();
  server->stop();
  EXPECT_EQ(
      testing::received(*helper),
      (std::vector<std::string>{
          R"({"session_id":"s1","type":"desktop.open"})",
          R"({"pad":[{"session_id":"evil","type":"desktop.open"}],"session_id":"s9","type":"desktop.close"})",
          R"({"session_id":"s2","type":"desktop.open"})"}));
  auto drops = testing::dropReports(mark);
  EXPECT_EQ(drops.frames, 11);
  EXPECT_LE(drops.reports, 2);
}

// A helper answers its session with 20,000 frames at once: the burst gets through, then
// the rate, each frame in our own encoding; the rest cost a few warnings.
TEST(RelayFloodTest, AFloodOfFramesIsCutToTheRateWithAFewWarnings) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  testing::LogCapture capture;
  const std::size_t mark = logged.size();
  testing::TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  auto server = DesktopIPCServer::create(dir.file("desktop.sock"), kAlice);
  testing::Lines upstream;
  server->setUpstream([&](std::string text) { upstream.add(std::move(text)); });
  ASSERT_TRUE(server->start());
  constexpr long kFrames = 20'000;
  {
    std::ofstream burst(dir.file("burst"));
    for (long i = 0; i < kFrames; ++i)
      burst << R"({ "type": "desktop.signal", "session_id": "s1", "data": "e30=" })" << '\n';
  }
  auto helper = startPeer(kAlice, {dir.file("desktop.sock"), "burst", "1", dir.file("burst")});
  ASSERT_TRUE(waitFor([&] { return server->hasHelperForTesting(); })) << helper->err();

  const auto started = std::chrono::steady_clock::now();
  server->forward(*SessionFrame::parse(R"({"type":"desktop.open","session_id":"s1"})"));
  // Hung up and every line read: the server lets go of the channel only after that.
  ASSERT_TRUE(waitFor([&] { return helper->exited() && !server->hasHelperForTesting(); }));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  auto relayed = upstream.get();
  EXPECT_GE(relayed.size(), 200u);
  EXPECT_LE(relayed.size(), 200 + 100 * seconds + 1);
  EXPECT_EQ(relayed.front(), R"({"data":"e30=","session_id":"s1","type":"desktop.signal"})");
  auto drops = testing::dropReports(mark);
  EXPECT_EQ(static_cast<long>(relayed.size()) + drops.frames, kFrames);
  EXPECT_LE(drops.reports, 2 + seconds);
  server->stop();
}

}  // namespace
}  // namespace vela
