#include "commands/command_executor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "commands/commands_test_support.h"
#include "identity/device_key.h"
#include "support/agent_process.h"
#include "util/json_scanner.h"
#include "util/process_info.h"

namespace vela {
namespace {

using testing::LogCapture;
using testing::readFileOrEmpty;
using testing::RecordingSystemActions;
using testing::ScopedStateDir;
using testing::writeFile;
using Outcome = CommandExecutor::Outcome;

JSONValue json(std::string_view text) { return JSONScanner::parse(text).value(); }

class ExecutorTest : public ::testing::Test {
 protected:
  CommandExecutor& executor(AgentConfig config = {}) {
    executor_ = std::make_unique<CommandExecutor>(
        std::move(config), std::make_unique<RecordingSystemActions>(record_));
    return *executor_;
  }
  Outcome run(std::string_view type, std::string_view payload, AgentConfig config = {}) {
    return executor(std::move(config)).run(type, json(payload));
  }

  ScopedStateDir state_;
  std::shared_ptr<RecordingSystemActions::Record> record_ =
      std::make_shared<RecordingSystemActions::Record>();
  std::unique_ptr<CommandExecutor> executor_;
};

TEST_F(ExecutorTest, ExecuteFillsTheResultRecord) {
  IncomingCommand command;
  command.agentID = "agent-1";
  command.sequenceNo = 42;
  command.type = "ping";
  command.commandID = "c-17";
  CommandResult result = executor().execute(command);
  EXPECT_EQ(result.agent_id, "agent-1");
  EXPECT_EQ(result.command_id, "c-17");
  EXPECT_EQ(result.sequence_no, 42);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.result.rfind("pong; agent 0.1.0; ", 0), 0u);
  EXPECT_EQ(result.result.substr(19), result.finished_at);
  EXPECT_EQ(result.finished_at.size(), 20u);  // 2026-01-31T12:00:00Z
  EXPECT_EQ(result.finished_at.back(), 'Z');

  EXPECT_EQ(run("foo", "{}"), (Outcome{1, "unsupported command type: foo"}));
  EXPECT_EQ(run("PING", "{}").exitCode, 1);

  executor().setInventorySourceForTesting([] { return std::string(R"({"hostname":"h"})"); });
  EXPECT_EQ(executor_->run("collect_inventory", JSONValue::object()),
            (Outcome{0, R"({"hostname":"h"})"}));
}

TEST_F(ExecutorTest, RunScriptCollectsOutputsAndHonoursPolicy) {
  AgentConfig locked;
  locked.allowRunScript = false;
  EXPECT_EQ(run("run_script", R"({"script":"touch ran","interpreter":"sh"})", locked),
            (Outcome{126, "run_script disabled by local policy on this endpoint"}));
  EXPECT_EQ(run("run_script", R"({"script":""})"),
            (Outcome{2, "run_script: missing 'script' in payload"}));
  EXPECT_EQ(run("run_script", R"({"script":["echo"]})").exitCode, 2);
  EXPECT_EQ(run("run_script", "[1]").exitCode, 2);
  EXPECT_EQ(run("run_script", R"({"script":"echo hi","interpreter":"perl"})"),
            (Outcome{2, "run_script: interpreter 'perl' not allowed (zsh|bash|sh)"}));
  EXPECT_EQ(run("run_script", R"({"script":"echo hi","interpreter":"/bin/sh"})").exitCode, 2);

  EXPECT_EQ(run("run_script",
                R"({"script":"printf out; printf err >&2; exit 3","interpreter":"bash"})"),
            (Outcome{3, "out\n[stderr]\nerr"}));
  EXPECT_EQ(run("run_script", R"({"script":"echo only-err >&2","interpreter":"sh"})"),
            (Outcome{0, "[stderr]\nonly-err\n"}));
  EXPECT_EQ(run("run_script", R"({"script":"echo $0","interpreter":"bash"})").text, "/bin/bash\n");
}

TEST_F(ExecutorTest, RunScriptTimeoutIsNotedWithTheLimit) {
  Outcome outcome = run(
      "run_script", R"({"script":"echo started; exec sleep 30","interpreter":"sh","timeout_seconds":2})");
  EXPECT_EQ(outcome.text, "started\n\n[timed out after 2s]");
  EXPECT_NE(outcome.exitCode, 0);
}

TEST_F(ExecutorTest, ServiceControlRunsTheServiceManager) {
  EXPECT_EQ(run("service_control", R"({"action":"stop","service":"example.service"})"),
            (Outcome{0, "stop example.service: ok"}));
  ASSERT_EQ(record_->tools.size(), 1u);
  EXPECT_EQ(record_->tools[0].path, "/usr/bin/systemctl");
  EXPECT_EQ(record_->tools[0].arguments, (std::vector<std::string>{"stop", "example.service"}));
  EXPECT_EQ(record_->tools[0].timeout, 30);

  record_->toolResult = {5, "  partial\n", "Failed to restart x.service: Unit not found.\n", false};
  EXPECT_EQ(run("service_control", R"({"action":"restart","service":"x.service"})"),
            (Outcome{5, "partial\nFailed to restart x.service: Unit not found."}));
  EXPECT_EQ(record_->tools.back().arguments, (std::vector<std::string>{"restart", "x.service"}));

  record_->tools.clear();
  EXPECT_EQ(run("service_control", R"({"action":"reload","service":"x"})"),
            (Outcome{2, "service_control: action 'reload' not supported (start|stop|restart)"}));
  EXPECT_EQ(run("service_control", R"({"action":"start"})"),
            (Outcome{2, "service_control: requires 'action' and 'service'"}));
  EXPECT_EQ(run("service_control", R"({"action":"start","service":"--force"})").exitCode, 2);
  EXPECT_TRUE(record_->tools.empty());
}

TEST_F(ExecutorTest, PowerCommandsAreDetachedAndDelayed) {
  EXPECT_EQ(run("reboot", "{}"), (Outcome{0, "reboot scheduled in 5s"}));
  EXPECT_EQ(run("shutdown", "{}"), (Outcome{0, "shutdown scheduled in 5s"}));
  ASSERT_EQ(record_->detached.size(), 2u);
  EXPECT_EQ(record_->detached[0].path, "/bin/sh");
  EXPECT_EQ(record_->detached[0].arguments,
            (std::vector<std::string>{"-c", "sleep 5; /sbin/shutdown -r now"}));
  EXPECT_EQ(record_->detached[1].arguments[1], "sleep 5; /sbin/shutdown -h now");

  record_->detachedStarts = false;
  EXPECT_EQ(run("reboot", "{}"), (Outcome{1, "failed to schedule reboot"}));
  AgentConfig locked;
  locked.allowPowerCommands = false;
  record_->detached.clear();
  EXPECT_EQ(run("shutdown", "{}", locked),
            (Outcome{126, "power commands disabled by local policy on this endpoint"}));
  EXPECT_TRUE(record_->detached.empty());
}

TEST(SystemActionsTest, InsideAServiceTheDetachedShellGetsItsOwnUnit) {
  std::vector<std::string> args{"-c", "sleep 5"};
  EXPECT_EQ(SystemActions::detachedLaunch("/bin/sh", args, false), std::pair(std::string("/bin/sh"), args));
  auto [program, wrapped] = SystemActions::detachedLaunch("/bin/sh", args, true);
  EXPECT_EQ(program, "/usr/bin/systemd-run");
  EXPECT_EQ(wrapped, (std::vector<std::string>{"--quiet", "--collect", "--no-block", "--",
                                               "/bin/sh", "-c", "sleep 5"}));
}

TEST_F(ExecutorTest, WakeOnLanValidatesBeforeSending) {
  auto packet = CommandExecutor::magicPacket("AA-BB-CC-DD-EE-FF");
  ASSERT_TRUE(packet);
  ASSERT_EQ(packet->size(), 102u);
  EXPECT_EQ(Bytes(packet->begin(), packet->begin() + 6), Bytes(6, 0xFF));
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(Bytes(packet->begin() + 6 + 6 * i, packet->begin() + 12 + 6 * i),
              (Bytes{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
  }
  EXPECT_TRUE(CommandExecutor::magicPacket("aabbccddeeff"));
  EXPECT_FALSE(CommandExecutor::magicPacket("AA:BB:CC:DD:EE"));
  EXPECT_FALSE(CommandExecutor::magicPacket("AA:BB:CC:DD:EE:GG"));
  EXPECT_FALSE(CommandExecutor::magicPacket("AA.BB.CC.DD.EE.FF"));

  EXPECT_EQ(run("wake_on_lan", R"({"mac":"AA:BB:CC:DD:EE"})"),
            (Outcome{2, "wake_on_lan: invalid MAC 'AA:BB:CC:DD:EE'"}));
  EXPECT_EQ(run("wake_on_lan", R"({"mac":112233445566})"),
            (Outcome{2, "wake_on_lan: requires target 'mac'"}));
  EXPECT_EQ(run("wake_on_lan", R"({"mac":"AA-BB-CC-DD-EE-FF","port":65536})"),
            (Outcome{2, "wake_on_lan: port 65536 out of range (0-65535)"}));
  EXPECT_EQ(run("wake_on_lan", R"({"mac":"AA-BB-CC-DD-EE-FF","port":-1})").exitCode, 2);
}

// Sends real broadcasts, but only inside a private network namespace with nothing but
// loopback, where a socket of this test receives them.
constexpr const char* kNamespaceChild = "VELA_TEST_WOL_NAMESPACE_CHILD";

std::string receiveOne(int fd) {
  pollfd p{fd, POLLIN, 0};
  // Only a guard against hanging forever if the packet never comes.
  if (::poll(&p, 1, 30'000) != 1) return {};
  char buffer[512];
  ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

int boundSocket(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return -1;
  return fd;
}

TEST(WakeOnLanNamespaceTest, BroadcastsTheMagicPacket) {
  if (std::getenv(kNamespaceChild) == nullptr) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string script =
        "ip link set lo up && ip route add broadcast 255.255.255.255 dev lo table local && "
        "exec \"$0\" --gtest_filter=WakeOnLanNamespaceTest.BroadcastsTheMagicPacket";
    std::vector<std::vector<std::string>> launchers{
        {"--net"}, {"--user", "--map-root-user", "--net"}};
    for (const auto& launcher : launchers) {
      if (testing::runProcess("/usr/bin/unshare", [&] {
            auto a = launcher;
            a.push_back("true");
            return a;
          }()).status != 0) {
        continue;
      }
      auto args = launcher;
      args.insert(args.end(), {"/bin/sh", "-c", script, self});
      auto child = testing::runProcess("/usr/bin/unshare", args, {{kNamespaceChild, "1"}});
      EXPECT_EQ(child.status, 0) << child.out << child.err;
      EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
      return;
    }
    GTEST_SKIP() << "no permission to create a network namespace";
  }

  ScopedStateDir state;
  CommandExecutor executor(AgentConfig{}, std::make_unique<RecordingSystemActions>(
                                              std::make_shared<RecordingSystemActions::Record>()));
  int fd9 = boundSocket(9);
  int fdHigh = boundSocket(40009);
  ASSERT_GE(fd9, 0);
  ASSERT_GE(fdHigh, 0);
  EXPECT_EQ(executor.run("wake_on_lan", json(R"({"mac":"AA-BB-CC-DD-EE-FF"})")),
            (Outcome{0, "magic packet sent to AA-BB-CC-DD-EE-FF on port 9"}));
  EXPECT_EQ(receiveOne(fd9), toString(*CommandExecutor::magicPacket("aabbccddeeff")));
  EXPECT_EQ(executor.run("wake_on_lan", json(R"({"mac":"01:02:03:04:05:06","port":40009})")),
            (Outcome{0, "magic packet sent to 01:02:03:04:05:06 on port 40009"}));
  std::string second = receiveOne(fdHigh);
  ASSERT_EQ(second.size(), 102u);
  EXPECT_EQ(second.substr(96), std::string("\x01\x02\x03\x04\x05\x06"));
  ::close(fd9);
  ::close(fdHigh);
}

TEST_F(ExecutorTest, PolicyPushStoresCanonicalBytes) {
  EXPECT_EQ(run("policy_push", R"({"b":1,"a":2})"), (Outcome{0, "policy stored (13 bytes)"}));
  EXPECT_EQ(readFileOrEmpty(state_.file("policy.json")), R"({"a":2,"b":1})");
  EXPECT_EQ(run("policy_push", R"([1.50, "\u00e9"])"), (Outcome{0, "policy stored (11 bytes)"}));
  EXPECT_EQ(readFileOrEmpty(state_.file("policy.json")), "[1.50,\"\xC3\xA9\"]");

  std::filesystem::remove(state_.file("policy.json"));
  std::filesystem::create_directory(state_.file("policy.json"));  // a directory cannot be replaced
  Outcome failed = run("policy_push", "{}");
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.text.rfind("failed to store policy: ", 0), 0u) << failed.text;
}

TEST(UninstallScriptTest, BundleRemovalOnlyWithPurgeAndABundle) {
  EXPECT_EQ(CommandExecutor::appBundlePath("/usr/local/bin/vela-agent"), std::nullopt);
  EXPECT_EQ(CommandExecutor::appBundlePath("/Applications/Vela Agent.app/Contents/MacOS/vela-agent"),
            "/Applications/Vela Agent.app");

  auto plain = CommandExecutor::uninstallScriptLines(true, std::nullopt, 4242);
  auto kept = CommandExecutor::uninstallScriptLines(false, "/opt/x.app", 4242);
  EXPECT_EQ(plain, kept);
  EXPECT_EQ(plain.front(), "sleep 3");
  EXPECT_EQ(plain[1], "systemctl disable --now vela-agent.service 2>/dev/null || true");
  EXPECT_EQ(plain[2], "systemctl --global disable vela-agent-desktop.service 2>/dev/null || true");
  EXPECT_EQ(plain.back(), "kill -9 4242 2>/dev/null || true");
  auto purged = CommandExecutor::uninstallScriptLines(true, "/opt/it's.app", 1);
  ASSERT_EQ(purged.size(), plain.size() + 1);
  EXPECT_EQ(purged[purged.size() - 2], "rm -rf '/opt/it'\\''s.app'");
}

TEST_F(ExecutorTest, UninstallRemovesTheIdentityAndSchedulesSelfRemoval) {
  ASSERT_TRUE(DeviceKey::create());
  for (const char* name : {"config.json", "agent.crt", "replay.json", "policy.json"}) {
    writeFile(state_.file(name), "{}");
  }
  std::filesystem::create_directory(state_.file("pinned"));
  writeFile(state_.file("pinned/ca.pem"), "x");

  LogCapture log;
  std::string previousProgram = ProcessInfo::programPath();
  ProcessInfo::setProgramPath("/Applications/Vela.app/Contents/MacOS/vela-agent");
  Outcome purged = run("uninstall", R"({"purge":"no"})");  // not a boolean: purge
  Outcome kept = run("uninstall", R"({"purge":false})");
  ProcessInfo::setProgramPath(previousProgram);

  EXPECT_EQ(purged, (Outcome{0,
                             "decommissioned: app bundle, LaunchAgent, identity, certificate, "
                             "config and pinned trust removed; self-removal in ~3s"}));
  EXPECT_EQ(kept.text,
            "decommissioned: identity, certificate, config and pinned trust (app kept) removed; "
            "self-removal in ~3s");
  for (const char* name : {"config.json", "agent.crt", "replay.json", "pinned", "device.key"}) {
    EXPECT_FALSE(std::filesystem::exists(state_.file(name))) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(state_.file("policy.json")));

  ASSERT_EQ(record_->detached.size(), 2u);
  std::string pid = std::to_string(::getpid());
  EXPECT_EQ(record_->detached[0].path, "/bin/sh");
  EXPECT_EQ(record_->detached[0].arguments[0], "-c");
  std::string expected;
  for (const auto& line : CommandExecutor::uninstallScriptLines(true, "/Applications/Vela.app",
                                                                ::getpid())) {
    expected += (expected.empty() ? "" : "; ") + line;
  }
  EXPECT_EQ(record_->detached[0].arguments[1], expected);
  EXPECT_NE(expected.find("; rm -rf '/Applications/Vela.app'; kill -9 " + pid), std::string::npos);
  EXPECT_EQ(record_->detached[1].arguments[1].find("rm -rf"), std::string::npos);

  ASSERT_EQ(record_->exits.size(), 2u);
  EXPECT_EQ(record_->exits[0], std::pair(0, std::chrono::milliseconds(2000)));
  EXPECT_EQ(log.lines("WARN", "uninstall command: decommissioning — app bundle, LaunchAgent, "
                              "identity, certificate, config and pinned trust → self-removal "
                              "scheduled")
                .size(),
            1u);
}

}  // namespace
}  // namespace vela
