#include "remote/gateway_client.h"

#include <gmock/gmock.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "config/agent_config.h"
#include "platform/detached_process.h"
#include "remote/gateway_fixture.h"
#include "support/enrolled_agent.h"
#include "util/base64.h"
#include "util/canonical_json.h"
#include "util/log.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
using testing::GatewayProcess;

constexpr const char* kBaseURL = "https://127.0.0.1:9443/api";

std::string shellFrame(const std::string& type, const std::string& session, JSONValue::Object extra = {}) {
  JSONValue frame(std::move(extra));
  frame.set("type", type);
  frame.set("session_id", session);
  return CanonicalJSON::encode(frame);
}

std::string stdinFrame(const std::string& session, const std::string& text) {
  return shellFrame("shell.stdin", session, {{"data", Base64::encode(text)}});
}
std::string openFrame(const std::string& session) { return shellFrame("shell.open", session, {{"shell", "/bin/sh"}}); }

bool eventually(const std::function<bool()>& condition) { return testing::BackgroundProcess::waitUntil(condition); }

// The control plane for its certificates and pinned keys; the client never calls its API.
class GatewayClientTest : public testing::ControlPlaneSuite {
 protected:
  void SetUp() override {
    ControlPlaneSuite::SetUp();
    Log::resetLogFileForTesting();
  }
  void TearDown() override { Log::resetLogFileForTesting(); }

  std::shared_ptr<GatewayClient> makeClient(const std::string& token = GatewayProcess::kToken,
                                                 std::shared_ptr<DesktopRelaying> relay = nullptr) {
    return GatewayClient::create(kBaseURL, trust_, token, {}, std::move(relay));
  }

  bool logContains(const std::string& text) { return testing::readFileOrEmpty(logFile_).find(text) != std::string::npos; }
  bool waitForLog(const std::string& text) { return eventually([&] { return logContains(text); }); }

  std::string logFile_ = state_.file("agent.log");
  testing::ScopedEnv logEnv_{"VELA_LOG_FILE", logFile_};
};

TEST(GatewayBackoffTest, DoublesFromTwoSecondsUpToThirtyWithThirtyPercentJitter) {
  const double bases[] = {2, 4, 8, 16, 30, 30, 30, 30};
  for (int n = 1; n <= 8; ++n) {
    const double base = bases[n - 1];
    EXPECT_EQ(GatewayClient::backoffBaseSeconds(n), base) << n;
    EXPECT_DOUBLE_EQ(GatewayClient::reconnectDelaySeconds(n, 0.0), base);
    EXPECT_DOUBLE_EQ(GatewayClient::reconnectDelaySeconds(n, 1.0), base * 1.3);
  }
}

// Where each descriptor of `pid` leads ("socket:[…]", "/dev/ptmx", a path).
std::vector<std::string> descriptorTargets(pid_t pid) {
  std::vector<std::string> targets;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    targets.push_back(std::filesystem::read_symlink(entry.path(), ec).string());
  }
  return targets;
}

// A root daemon's relay to the desktop helper while it has no socket: it declines every
// frame. Its routing both ways is the relay's end-to-end test's (desktop_relay_e2e.py).
struct DecliningRelay final : DesktopRelaying {
  bool forward(const SessionFrame&) override { return false; }
  void setUpstream(std::function<void(std::string)>) override {}
};

// Routing and the wire in both directions; what a shell does with its frames (output
// batching, resizing, the session cap) is the session manager's test.
TEST_F(GatewayClientTest, ShellFramesTravelBothWaysBadFramesAreDroppedAndStopClosesWith1001) {
  GatewayProcess gateway(cp_->dir());
  auto client = makeClient(GatewayProcess::kToken, std::make_shared<DecliningRelay>());
  client->start();
  ASSERT_TRUE(eventually([&] { return client->isConnectedForTesting(); }));

  ASSERT_TRUE(gateway.send(openFrame("s1")));
  ASSERT_TRUE(gateway.nextOfType("shell.opened", "s1"));
  // With the gateway socket and a terminal open, the shell a reboot or an uninstall
  // leaves behind holds neither.
  auto own = descriptorTargets(::getpid());
  auto holds = [&](std::string_view prefix) {
    return std::any_of(own.begin(), own.end(), [&](const auto& t) { return t.starts_with(prefix); });
  };
  ASSERT_TRUE(holds("socket:") && holds("/dev/ptmx"));
  auto detached = platform::spawnDetached("/bin/sh", {"-c", "exec sleep 60"});
  ASSERT_TRUE(detached) << detached.error().description();
  // Read once its exec is done: until then the spawner's status pipe is still open.
  EXPECT_TRUE(eventually([&] { return descriptorTargets(*detached) == std::vector<std::string>(3, "/dev/null"); }))
      << ::testing::PrintToString(descriptorTargets(*detached));
  ::kill(*detached, SIGKILL);

  ASSERT_TRUE(gateway.send(stdinFrame("s1", "echo travelled; exit 3\n")));
  EXPECT_EQ(CanonicalJSON::encode(gateway.nextOfType("shell.exit", "s1").value()),
            R"({"code":3,"session_id":"s1","signal":null,"type":"shell.exit","v":1})");
  std::string out;  // the frames before the exit
  for (const auto& f : gateway.skipped) {
    if (f["type"] && f["type"]->stringValue() == "shell.stdout") {
      out += toString(*Base64::decode(*f["data"]->stringValue()));
    }
  }
  EXPECT_THAT(out, ::testing::HasSubstr("travelled\r\n"));

  // Oversize and unparseable frames are dropped without closing the connection.
  auto padded = [](const std::string& session, std::size_t size) {
    std::string head = R"({"pad":")";
    std::string tail = R"(","session_id":")" + session + R"(","shell":"/bin/sh","type":"shell.open"})";
    return head + std::string(size - head.size() - tail.size(), 'p') + tail;
  };
  ASSERT_TRUE(gateway.send(padded("limit", 1'048'576)));
  ASSERT_TRUE(gateway.nextOfType("shell.opened", "limit"));
  ASSERT_TRUE(gateway.send(padded("over", 1'048'577)));
  ASSERT_TRUE(waitForLog("WARN: gateway: oversize frame dropped"));
  for (const char* junk : {"not json", "[1,2]", R"({"type":"shell.open"})",
                           R"({"type":"mystery","session_id":"m"})"}) {
    ASSERT_TRUE(gateway.send(junk));
  }
  ASSERT_TRUE(gateway.send(openFrame("after")));
  ASSERT_TRUE(gateway.nextOfType("shell.opened", "after"));
  for (const auto& f : gateway.skipped) EXPECT_NE(f["session_id"]->stringValue(), "over");

  // Desktop frames the relay declines are answered as by an agent without desktop support.
  ASSERT_TRUE(gateway.send(shellFrame("desktop.open", "r2", {})));
  JSONValue declined = gateway.nextOfType("desktop.error", "r2").value();
  EXPECT_EQ(declined["message"]->stringValue(), "agent has no WebRTC backend");

  auto records = gateway.connections();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["user_agent"]->stringValue(), "vela-agent/0.1.0");

  client->stopAndWait();
  ASSERT_TRUE(eventually([&] { return gateway.connections()[0]["close_code"]->intValue() == 1001; }));
  // A healthy connection and a clean stop warn about nothing but the dropped frame.
  std::string log = testing::readFileOrEmpty(logFile_);
  EXPECT_EQ(log.find("WARN"), log.rfind("WARN")) << log;
}

// When the gateway vanishes, shells end locally without a word, and the client reconnects
// with backoff. Desktop sessions on a lost connection are the session manager's test and
// the desktop end-to-end test's.
TEST_F(GatewayClientTest, LosingTheGatewayEndsShellsQuietlyAndReconnects) {
  int children = testing::countChildProcesses();
  auto gateway = std::make_unique<GatewayProcess>(cp_->dir());
  auto client = makeClient();
  client->start();
  ASSERT_TRUE(eventually([&] { return client->isConnectedForTesting(); }));
  ASSERT_TRUE(gateway->send(openFrame("a")));
  ASSERT_TRUE(gateway->send(openFrame("b")));
  ASSERT_TRUE(gateway->nextOfType("shell.opened", "b"));
  EXPECT_EQ(client->activeShellsForTesting(), 2);
  gateway->kill();  // minus the gateway itself
  ASSERT_TRUE(eventually([&] { return client->activeShellsForTesting() == 0; }));
  ASSERT_TRUE(eventually([&] { return testing::countChildProcesses() == children; }));
  EXPECT_EQ(client->reconnectAttemptForTesting(), 1);
  ASSERT_TRUE(waitForLog("gateway: disconnected ("));
  EXPECT_TRUE(logContains("); reconnect in 2.")) << testing::readFileOrEmpty(logFile_);

  gateway = std::make_unique<GatewayProcess>(cp_->dir());
  ASSERT_TRUE(eventually([&] { return client->isConnectedForTesting(); }));
  EXPECT_EQ(client->reconnectAttemptForTesting(), 0);
  ASSERT_TRUE(gateway->send(openFrame("again")));
  ASSERT_TRUE(gateway->nextOfType("shell.opened", "again"));
  // Nothing was reported for the shells that died with the old connection.
  for (const auto& f : gateway->skipped) EXPECT_NE(f["type"]->stringValue(), "shell.exit");
  client->stopAndWait();
}

// A refused upgrade, and a peer that stops reading (pongs included) while a shell's
// output is queued, each end the connection attempt in a logged reconnect. Output the
// operator cannot take stays in the shell, not in the agent.
TEST_F(GatewayClientTest, RefusedUpgradeAndStalledPeerLeadToReconnects) {
  GatewayProcess gateway(cp_->dir());
  auto refused = makeClient("wrong-token");
  refused->start();
  ASSERT_TRUE(waitForLog("WARN: gateway: HTTP response 401 (expected 101)"));
  ASSERT_TRUE(eventually([&] { return refused->connectCountForTesting() >= 2; }));
  refused->stop();
  auto client = makeClient();
  client->setTimingForTesting(250ms, 8s);
  client->start();
  ASSERT_TRUE(eventually([&] { return client->isConnectedForTesting(); }));
  ASSERT_TRUE(gateway.send(openFrame("z")));
  ASSERT_TRUE(gateway.nextOfType("shell.opened", "z"));
  ASSERT_TRUE(gateway.throttle(0));
  ASSERT_TRUE(gateway.send(stdinFrame("z", "stty raw -echo; cat /dev/zero\n")));
  ASSERT_TRUE(waitForLog("WARN: shell session z: gateway not draining; output paused at 1024 KiB"));
  ASSERT_TRUE(waitForLog("WARN: gateway: no pong for >50s; treating connection as dead"));
  ASSERT_TRUE(waitForLog("gateway: disconnected (ping watchdog: stale connection); reconnect in "));
  ASSERT_TRUE(eventually([&] { return client->activeShellsForTesting() == 0; }));
  client->stop();
}

// Resident set of a process in KiB, or -1 when it is gone.
long residentKiB(pid_t pid) {
  std::string status = testing::readFileOrEmpty("/proc/" + std::to_string(pid) + "/status");
  auto at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

// The foreground `gateway` command, as its own process against the product's port 8443:
// its refusals, then an operator at 2 MB/s and one that stops reading (for less than
// the 50 s watchdog): its memory stays flat and the session survives; SIGTERM closes
// with 1001 and status 0.
TEST_F(GatewayClientTest, GatewayCommandStaysBoundedForSlowOperatorsUntilSignalled) {
  AgentConfig config;
  config.serverBaseURL = kBaseURL;
  config.agentID = "agent-7";
  ASSERT_TRUE(config.save());
  auto status = testing::runAgent({"gateway"});
  EXPECT_EQ(status.err, "error: no device token; (re)enroll first\n");
  EXPECT_EQ(status.status, 1);

  config.deviceToken = GatewayProcess::kToken;
  ASSERT_TRUE(config.save());
  GatewayProcess gateway(cp_->dir());
  testing::BackgroundProcess agent(testing::agentExe(), {"gateway"});
  ASSERT_TRUE(waitForLog("INFO: gateway: connected"));
  ASSERT_TRUE(gateway.throttle(2'000'000));
  for (const char* id : {"slow1", "slow2"}) {
    ASSERT_TRUE(gateway.send(openFrame(id)));
    ASSERT_TRUE(gateway.nextOfType("shell.opened", id));
    ASSERT_TRUE(gateway.send(stdinFrame(id, "stty raw -echo; cat /dev/zero\n")));
  }
  long peak = 0;
  auto sample = [&](std::chrono::seconds span) {
    for (auto end = std::chrono::steady_clock::now() + span;
         std::chrono::steady_clock::now() < end;) {
      peak = std::max(peak, residentKiB(agent.pid()));
      std::this_thread::sleep_for(200ms);
    }
  };
  sample(8s);
  std::int64_t slowBytes = gateway.throttledStdoutBytes();
  EXPECT_GT(slowBytes, 6'000'000);
  ASSERT_TRUE(gateway.throttle(0));
  sample(10s);
  ASSERT_TRUE(gateway.throttle(50'000'000));
  ASSERT_TRUE(eventually([&] { return gateway.throttledStdoutBytes() > slowBytes + 5'000'000; }));
#if !defined(__SANITIZE_ADDRESS__) && !defined(VELA_TSAN)  // a sanitizer's own shadow memory
  EXPECT_LT(peak, 64 * 1024) << "peak resident KiB";
#endif
  EXPECT_EQ(gateway.connections().size(), 1u);
  EXPECT_EQ(agent.stop(SIGTERM), 0);
  ASSERT_TRUE(eventually([&] { return gateway.connections()[0]["close_code"]->intValue() == 1001; }));
}

}  // namespace
}  // namespace vela
