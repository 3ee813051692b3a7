// The daemon against the test control plane: enrolment on start, heartbeats and
// commands on schedule, a clean stop on SIGTERM, and the diagnostics of an enrolled
// machine.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "config/agent_config.h"
#include "net/pinned_trust.h"
#include "runtime/daemon.h"
#include "support/agent_process.h"
#include "support/background_process.h"
#include "support/control_plane.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using testing::BackgroundProcess;
using testing::ControlPlane;
using namespace std::chrono_literals;

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(state_.file("pinned"));
    testing::writeFile(state_.file("pinned/ca.pem"), cp_.caPem());
    testing::writeFile(state_.file("pinned/command_pubkey.b64"), cp_.commandPublicKey());
    testing::writeFile(state_.file("pinned/update_pubkey.b64"), cp_.updatePublicKey());
  }

  AgentConfig provisionedConfig() const {
    AgentConfig c;
    c.serverBaseURL = cp_.baseURL();
    c.enrollmentToken = nlohmann::json::parse(cp_.provisioningJSON())["token"].get<std::string>();
    c.heartbeatIntervalSeconds = 1;
    c.commandPollIntervalSeconds = 1;
    return c;
  }

  std::map<std::string, std::optional<std::string>> env() const {
    return {{"VELA_STATE_DIR", state_.path()}};
  }

  static std::size_t count(const std::string& jsonArray) { return nlohmann::json::parse(jsonArray).size(); }

  ControlPlane cp_;
  testing::ScopedStateDir state_;
};

TEST_F(DaemonTest, EnrolsRunsCommandsOnScheduleAndStopsCleanlyOnSIGTERM) {
  ASSERT_TRUE(provisionedConfig().save());
  BackgroundProcess agent(VELA_AGENT_EXE, {"run"}, env());
  std::string agentID;
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] {
    auto c = AgentConfig::loadIfPresent();
    if (c && c->agentID) agentID = *c->agentID;
    return !agentID.empty();
  })) << agent.err();

  std::string ping = cp_.queueCommand(agentID, "ping");
  std::string inventory = cp_.queueCommand(agentID, "collect_inventory");
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] { return count(cp_.results(agentID)) >= 2; }))
      << agent.err();
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] { return count(cp_.heartbeats(agentID)) >= 3; }));

  auto results = nlohmann::json::parse(cp_.results(agentID));
  EXPECT_EQ(results[0]["command_id"], ping);
  EXPECT_EQ(results[0]["body"]["exit_code"], 0);
  EXPECT_EQ(results[1]["command_id"], inventory);
  EXPECT_EQ(results[1]["body"]["exit_code"], 0);

  // A headless daemon never maps the desktop module's display and media libraries.
  std::string maps = testing::readFileOrEmpty("/proc/" + std::to_string(agent.pid()) + "/maps");
  ASSERT_NE(maps.find("libcurl"), std::string::npos);
  std::smatch desktopLibrary;
  EXPECT_FALSE(std::regex_search(maps, desktopLibrary,
                                 std::regex(R"(lib(gst|gtk|gdk|glib|gobject|X11|Xext|Xrandr|Xtst|xcb)[^/\n]*\.so)")))
      << desktopLibrary.str();
  EXPECT_EQ(maps.find("vela-desktop-module"), std::string::npos);

  EXPECT_EQ(agent.stop(SIGTERM), 0);
  std::string log = agent.err();
  auto received = log.find("INFO: received signal 15; stopping\n");
  auto clean = log.find("INFO: Shutting down cleanly\n");
  ASSERT_NE(received, std::string::npos) << log;
  ASSERT_NE(clean, std::string::npos) << log;
  EXPECT_LT(received, clean);
  EXPECT_NE(log.find("running (pid " + std::to_string(agent.pid()) + ", agent " + agentID + ")"),
            std::string::npos);
}

TEST_F(DaemonTest, DeviceTokenWithoutAgentIDHeartbeatsButNeverPolls) {
  auto enrolled = testing::runAgent({"enroll", "--server", cp_.baseURL(), "--token",
                                     *provisionedConfig().enrollmentToken},
                                    env());
  ASSERT_EQ(enrolled.status, 0) << enrolled.err;
  AgentConfig config = AgentConfig::load().value();
  std::string agentID = *config.agentID;
  config.agentID.reset();
  config.heartbeatIntervalSeconds = 1;
  auto trust = PinnedTrust::load().value();
  auto runtime = Daemon::makeRuntime(config, trust).value();
  std::thread loop([&] { runtime->run(); });
  bool heartbeats = BackgroundProcess::waitUntil([&] { return count(cp_.heartbeats(agentID)) >= 2; });
  runtime->requestStop();
  loop.join();
  EXPECT_TRUE(heartbeats);
  EXPECT_EQ(cp_.requests().find("/api/agent/commands"), std::string::npos);
}

TEST_F(DaemonTest, PlainHTTPServerIsRefused) {
  AgentConfig config = provisionedConfig();
  config.serverBaseURL = "http://127.0.0.1:" + std::to_string(cp_.port());
  config.agentID = "a-1";
  config.deviceToken = "t";
  ASSERT_TRUE(config.save());
  auto run = testing::runAgent({"run"}, env());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("error: invalid server URL\n"), std::string::npos) << run.err;
  EXPECT_EQ(cp_.requests().find("/api/agent/"), std::string::npos);
}

TEST_F(DaemonTest, DiagnosticsOfAnEnrolledMachineWithAPinnedCA) {
  auto enrolled = testing::runAgent({"enroll", "--server", cp_.baseURL(), "--token",
                                     *provisionedConfig().enrollmentToken},
                                    env());
  ASSERT_EQ(enrolled.status, 0) << enrolled.err;
  AgentConfig config = AgentConfig::load().value();

  auto doctor = testing::runAgent({"doctor"}, env());
  EXPECT_EQ(doctor.status, 0) << doctor.out;
  std::string expected =
      "VELA RMM Agent 0.1.0 \u2014 doctor\n"
      "  state dir: " + state_.path() + "\n"
      "  keychain:  none\n"
      "  [\u2713] config: server=" + cp_.baseURL() + " tenant=- customer=-\n"
      "  [\u2713] enrolled: agent " + *config.agentID + "\n"
      "  [\u2713] TLS trust: internal CA pinned (1 certificate(s))\n";
  EXPECT_EQ(doctor.out.substr(0, expected.size()), expected);
  EXPECT_NE(doctor.out.find("  [\u2713] command key: ed25519 "), std::string::npos);
  EXPECT_NE(doctor.out.find("  [\u2713] update key: ed25519 " + cp_.updatePublicKey().substr(0, 10) + "\u2026\n"),
            std::string::npos);
  EXPECT_NE(doctor.out.find("  [\u2713] device key: present\n  [\u2713] certificate: present\n"
                            "\nAll critical checks passed.\n"),
            std::string::npos)
      << doctor.out;

  auto status = testing::runAgent({"status"}, env());
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.out.find("  enrolled:    yes\n  agent_id:    " + *config.agentID + "\n"
                            "  cert fp:     " + *config.certFingerprint + "\n"
                            "  cert expires:" + *config.certNotAfter + "\n"
                            "  cert on disk: yes (fp " + *config.certFingerprint + ")\n"
                            "  device key:  file\n  keychain:    none\n"),
            std::string::npos)
      << status.out;

  // An empty server fails the configuration check even with trust in place.
  config.serverBaseURL = "";
  ASSERT_TRUE(config.save());
  auto failing = testing::runAgent({"doctor"}, env());
  EXPECT_EQ(failing.status, 1);
  EXPECT_NE(failing.out.find("  [\u2717] config: server= tenant=- customer=-\n"), std::string::npos);
  EXPECT_NE(failing.out.find("\nSome checks failed \u2014 see above.\n"), std::string::npos);

  auto reset = testing::runAgent({"reset"}, env());
  EXPECT_EQ(reset.out, "Reset complete: device key, certificate, config, and replay state removed.\n");
  auto unconfigured = testing::runAgent({"status"}, env());
  EXPECT_EQ(unconfigured.status, 1);
  EXPECT_EQ(unconfigured.out, "not configured. Run `vela-agent setup` or deploy a provisioning-named binary.\n");
}

}  // namespace
}  // namespace vela
