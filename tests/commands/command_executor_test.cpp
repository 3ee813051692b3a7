#include "commands/command_executor.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "commands/commands_test_support.h"
#include "commands/result_output.h"
#include "identity/device_key.h"
#include "support/background_process.h"
#include "util/json_scanner.h"
#include "util/process_info.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::Recorded;
using testing::RecordingSystemActions;
using Outcome = CommandExecutor::Outcome;
using Args = std::vector<std::string>;
using Calls = std::vector<Recorded::Call>;

class ExecutorTest : public ::testing::Test {
 protected:
  Outcome run(std::string_view type, std::string_view payload, AgentConfig config = {}) {
    CommandExecutor executor(std::move(config), std::make_unique<RecordingSystemActions>(rec_));
    executor.setInstallRootForTesting(root_);
    executor.setCancellation(stopping_);
    return executor.run(type, JSONScanner::parse(payload).value());
  }

  testing::ScopedStateDir state_;
  testing::TempDir machine_;
  // A throw-away root, with a quote to prove the quoting.
  std::string root_ = machine_.file("it's root");
  std::shared_ptr<Recorded> rec_ = std::make_shared<Recorded>();
  std::shared_ptr<Cancellation> stopping_ = std::make_shared<Cancellation>();
};

TEST_F(ExecutorTest, PingUnknownTypesAndTheResultRecord) {
  IncomingCommand command;
  command.agentID = "agent-1";
  command.sequenceNo = 42;
  command.type = "ping";
  command.commandID = "c-17";
  CommandResult r = CommandExecutor(AgentConfig{}, std::make_unique<RecordingSystemActions>(rec_))
                        .execute(command);
  EXPECT_EQ(r, (CommandResult{"agent-1", "c-17", 42, "ping", 0, "pong; agent 0.1.0; " + r.finished_at,
                              r.finished_at}));
  EXPECT_EQ(r.finished_at.size(), 20u);  // 2026-01-31T12:00:00Z
  EXPECT_EQ(run("foo", "{}"), (Outcome{1, "unsupported command type: foo"}));
}

TEST_F(ExecutorTest, RunScript) {
  AgentConfig locked;
  locked.allowRunScript = false;
  std::string marker = state_.file("ran");
  EXPECT_EQ(run("run_script", R"({"script":"touch )" + marker + R"(","interpreter":"sh"})", locked),
            (Outcome{126, "run_script disabled by local policy on this endpoint"}));
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(run("run_script", R"({"script":""})"), (Outcome{2, "run_script: missing 'script' in payload"}));
  EXPECT_EQ(run("run_script", R"({"script":"echo","interpreter":"perl"})"),
            (Outcome{2, "run_script: interpreter 'perl' not allowed (zsh|bash|sh)"}));
  EXPECT_EQ(run("run_script", R"({"script":"printf out; printf err >&2; exit 3","interpreter":"bash"})"),
            (Outcome{3, "out\n[stderr]\nerr"}));
  EXPECT_EQ(run("run_script", R"({"script":"echo e >&2; echo $0 >&2","interpreter":"sh"})"),
            (Outcome{0, "[stderr]\ne\n/bin/sh\n"}));
  EXPECT_EQ(run("run_script", R"({"script":"echo $0"})"), (Outcome{0, "/bin/bash\n"}));
  // zsh named outright means /bin/zsh, never a stand-in.
  if (!std::filesystem::exists("/bin/zsh")) {
    EXPECT_EQ(run("run_script", R"({"script":"echo $0","interpreter":"zsh"})"),
              (Outcome{-1, "[stderr]\nspawn failed: No such file or directory"}));
  }
}

TEST(ResultOutputTest, KeepsTheTailThatFitsOnceEscaped) {
  using ResultOutput::capped;
  using ResultOutput::kMaxEscapedBytes;
  const std::string fits(kMaxEscapedBytes, 'a');
  EXPECT_EQ(capped(fits).text, fits);
  EXPECT_EQ(capped("short", 7).text, "[output truncated: 7 bytes dropped]\nshort");

  // NUL costs six bytes escaped, a quote two; the kept text is measured that way.
  for (char c : {'\0', '"'}) {
    std::string text = "head" + std::string(kMaxEscapedBytes, c) + "end";
    std::string out = capped(text, 100).text;
    auto lineEnd = out.find('\n');
    std::string kept = out.substr(lineEnd + 1);
    EXPECT_TRUE(kept.ends_with("end"));
    std::size_t cost = c == '\0' ? 6 : 2;
    EXPECT_LE((kept.size() - 3) * cost + 3 + lineEnd + 1, kMaxEscapedBytes);
    EXPECT_GT((kept.size() - 3) * cost + 3, kMaxEscapedBytes - 64 - cost);
    EXPECT_EQ(out.substr(0, lineEnd),
              "[output truncated: " + std::to_string(100 + text.size() - kept.size()) + " bytes dropped]");
  }
  // A cut inside a character starts the text at the next whole one.
  std::string wide;
  for (std::size_t i = 0; i < kMaxEscapedBytes / 3 + 10; ++i) wide += "\u2713";
  std::string out = capped(wide).text;
  EXPECT_TRUE(out.substr(out.find('\n') + 1).starts_with("\u2713"));
}

// The agent stopping ends a script that ignores SIGTERM (SIGKILL after the grace) and
// says so; nothing starts after it. An absurd timeout is held to the maximum.
TEST_F(ExecutorTest, StoppingInterruptsTheRunningScript) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run("run_script", R"({"script":"echo hi","interpreter":"sh","timeout_seconds":10000000000})"),
            (Outcome{0, "hi\n"}));
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("WARN: run_script: timeout_seconds 10000000000 above the maximum; using 86400\n"));

  std::string marker = state_.file("started");
  const std::string payload =
      R"({"script":"trap '' TERM; touch )" + marker + R"(; sleep 60","interpreter":"sh"})";
  Outcome outcome;
  std::thread script([&] { outcome = run("run_script", payload); });
  while (!std::filesystem::exists(marker))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stopping_->cancel();
  script.join();
  EXPECT_EQ(outcome, (Outcome{SIGKILL, "\n[interrupted: agent stopping]"}));
  EXPECT_EQ(run("run_script", payload), (Outcome{1, "run_script: not started, agent stopping"}));
}

TEST_F(ExecutorTest, ServiceControlGoesThroughTheServiceManager) {
  EXPECT_EQ(run("service_control", R"({"action":"stop","service":"example.service"})"),
            (Outcome{0, "stop example.service: ok"}));
  rec_->toolResult = {5, " partial\n", "Failed to restart x.service: Unit not found.\n", false};
  EXPECT_EQ(run("service_control", R"({"action":"restart","service":"x.service"})"),
            (Outcome{5, "partial\nFailed to restart x.service: Unit not found."}));
  EXPECT_EQ(rec_->tools, (Calls{{"/usr/bin/systemctl", {"stop", "example.service"}, 30},
                                 {"/usr/bin/systemctl", {"restart", "x.service"}, 30}}));

  EXPECT_EQ(run("service_control", R"({"action":"reload","service":"x"})"),
            (Outcome{2, "service_control: action 'reload' not supported (start|stop|restart)"}));
  EXPECT_EQ(run("service_control", R"({"action":"start"})"),
            (Outcome{2, "service_control: requires 'action' and 'service'"}));
  EXPECT_EQ(run("service_control", R"({"action":"start","service":"--all"})").exitCode, 2);
  EXPECT_EQ(rec_->tools.size(), 2u);
}

TEST_F(ExecutorTest, PowerCommandsRunDetachedAfterAPause) {
  EXPECT_EQ(run("reboot", "{}"), (Outcome{0, "reboot scheduled in 5s"}));
  EXPECT_EQ(run("shutdown", "{}"), (Outcome{0, "shutdown scheduled in 5s"}));
  EXPECT_EQ(rec_->detached, (Calls{{"/bin/sh", {"-c", "sleep 5; /sbin/shutdown -r now"}},
                                    {"/bin/sh", {"-c", "sleep 5; /sbin/shutdown -h now"}}}));
  rec_->detachedStarts = false;
  EXPECT_EQ(run("reboot", "{}"), (Outcome{1, "failed to schedule reboot"}));
  AgentConfig locked;
  locked.allowPowerCommands = false;
  EXPECT_EQ(run("shutdown", "{}", locked),
            (Outcome{126, "power commands disabled by local policy on this endpoint"}));
  EXPECT_EQ(rec_->detached.size(), 3u);

  // Inside a systemd service the shell must outlive the service's processes.
  EXPECT_EQ(SystemActions::detachedLaunch("/bin/sh", {"-c", "x"}, true),
            std::pair(std::string("/usr/bin/systemd-run"),
                      Args{"--quiet", "--collect", "--no-block", "--", "/bin/sh", "-c", "x"}));
}

TEST_F(ExecutorTest, WakeOnLanRefusesBadTargetsBeforeSending) {
  Bytes expected(6, 0xFF);
  for (int i = 0; i < 16; ++i) expected.insert(expected.end(), {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
  EXPECT_EQ(CommandExecutor::magicPacket("AA-BB-CC-DD-EE-FF"), expected);
  EXPECT_EQ(run("wake_on_lan", R"({"mac":"AA:BB:CC:DD:EE"})"),
            (Outcome{2, "wake_on_lan: invalid MAC 'AA:BB:CC:DD:EE'"}));
  EXPECT_EQ(run("wake_on_lan", R"({"mac":1})"), (Outcome{2, "wake_on_lan: requires target 'mac'"}));
  EXPECT_EQ(run("wake_on_lan", R"({"mac":"AA-BB-CC-DD-EE-FF","port":65536})"),
            (Outcome{2, "wake_on_lan: port 65536 out of range (0-65535)"}));
  EXPECT_EQ(run("wake_on_lan", R"({"mac":"AA-BB-CC-DD-EE-FF","port":-1})").exitCode, 2);
}

std::string receiveOn(std::uint16_t port, const std::function<void()>& send) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any{AF_INET, htons(port), {htonl(INADDR_ANY)}, {}};
  if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return "bind failed";
  send();
  pollfd p{fd, POLLIN, 0};
  char buffer[512];
  ssize_t n = ::poll(&p, 1, 60'000) == 1 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
  ::close(fd);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Real broadcasts, sent only inside a private network namespace holding nothing but
// loopback: the test runs itself again there.
class WakeOnLanNamespaceTest : public ExecutorTest {};
TEST_F(WakeOnLanNamespaceTest, BroadcastsTheMagicPacket) {
  constexpr const char* kInside = "VELA_TEST_WOL_IN_NAMESPACE";
  if (std::getenv(kInside) == nullptr) {
    std::string script =
        "ip link set lo up && ip route add broadcast 255.255.255.255 dev lo table local && "
        "exec \"$0\" --gtest_filter=WakeOnLanNamespaceTest.*";
    for (Args launcher : {Args{"--net"}, Args{"--user", "--map-root-user", "--net"}}) {
      Args probe = launcher;
      probe.push_back("/bin/true");
      if (testing::runProcess("/usr/bin/unshare", probe).status != 0) continue;
      launcher.insert(launcher.end(), {"/bin/sh", "-c", script,
                                       std::filesystem::read_symlink("/proc/self/exe").string()});
      auto inside = testing::runProcess("/usr/bin/unshare", launcher, {{kInside, "1"}});
      EXPECT_EQ(inside.status, 0) << inside.out << inside.err;
      EXPECT_THAT(inside.out, HasSubstr("[  PASSED  ] 1 test"));
      return;
    }
    GTEST_SKIP() << "no permission to create a network namespace";
  }
  auto wake = [&](std::string_view payload) { return run("wake_on_lan", payload); };
  Outcome outcome;
  EXPECT_EQ(receiveOn(9, [&] { outcome = wake(R"({"mac":"AA-BB-CC-DD-EE-FF"})"); }),
            toString(*CommandExecutor::magicPacket("aabbccddeeff")));
  EXPECT_EQ(outcome, (Outcome{0, "magic packet sent to AA-BB-CC-DD-EE-FF on port 9"}));
  EXPECT_EQ(receiveOn(40009, [&] { outcome = wake(R"({"mac":"01:02:03:04:05:06","port":40009})"); })
                .substr(96),
            "\x01\x02\x03\x04\x05\x06");
  EXPECT_EQ(outcome, (Outcome{0, "magic packet sent to 01:02:03:04:05:06 on port 40009"}));
}

TEST_F(ExecutorTest, PolicyPushStoresCanonicalBytes) {
  EXPECT_EQ(run("policy_push", R"({"b":1,"a":2})"), (Outcome{0, "policy stored (13 bytes)"}));
  EXPECT_EQ(testing::readFileOrEmpty(state_.file("policy.json")), R"({"a":2,"b":1})");
  std::filesystem::remove(state_.file("policy.json"));
  std::filesystem::create_directory(state_.file("policy.json"));  // cannot be replaced
  EXPECT_THAT(run("policy_push", "{}").text, ::testing::StartsWith("failed to store policy: "));
}

TEST_F(ExecutorTest, UninstallRemovesTheIdentityAndSchedulesSelfRemoval) {
  ASSERT_TRUE(DeviceKey::create());
  for (const char* name : {"config.json", "agent.crt", "replay.json", "policy.json"}) {
    testing::writeFile(state_.file(name), "{}");
  }
  std::filesystem::create_directory(state_.file("pinned"));
  testing::writeFile(state_.file("pinned/ca.pem"), "x");

  testing::LogCapture log;
  rec_->users = {"alice", "o'neil"};
  const std::string exe = ProcessInfo::executablePath();
  Outcome installerPurged = run("uninstall", R"({"purge":"no"})");  // not a boolean: purge
  rec_->packages[exe] = "vela-agent";
  Outcome packagePurged = run("uninstall", R"({"purge":true})");
  Outcome kept = run("uninstall", R"({"purge":false})");

  EXPECT_EQ(installerPurged, (Outcome{0, "decommissioned: program, services, identity, "
                                         "certificate, config and pinned trust removed; "
                                         "self-removal in ~3s"}));
  EXPECT_EQ(packagePurged, installerPurged);
  EXPECT_EQ(kept, (Outcome{0, "decommissioned: identity, certificate, config and pinned trust "
                              "(program kept) removed; self-removal in ~3s"}));
  EXPECT_EQ(log.count("WARN", "uninstall command: decommissioning — program, services, identity, "
                              "certificate, config and pinned trust → self-removal scheduled"),
            2);
  EXPECT_EQ(log.count("WARN", "uninstall command: decommissioning — identity, certificate, config "
                              "and pinned trust (program kept) → self-removal scheduled"),
            1);
  for (const char* name : {"config.json", "agent.crt", "replay.json", "pinned", "device.key"}) {
    EXPECT_FALSE(std::filesystem::exists(state_.file(name))) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(state_.file("policy.json")));
  // Only a purge asks who installed the program.
  EXPECT_EQ(rec_->packageQueries, (Args{exe, exe}));

  const std::string quotedRoot = "'" + machine_.path() + "/it'\\''s root";
  const std::string stop =
      "sleep 3; systemctl disable --now vela-agent.service 2>/dev/null || true; "
      "systemctl --global disable vela-agent-desktop.service 2>/dev/null || true; "
      "systemctl --user -M 'alice@' stop vela-agent-desktop.service 2>/dev/null || true; "
      "systemctl --user -M 'o'\\''neil@' stop vela-agent-desktop.service 2>/dev/null || true; ";
  const std::string kill = "kill -9 " + std::to_string(::getpid()) + " 2>/dev/null || true";
  auto sh = [](const std::string& command) { return Recorded::Call{"/bin/sh", {"-c", command}}; };
  EXPECT_EQ(rec_->detached,
            (Calls{sh(stop + "rm -f " + quotedRoot + "/usr/local/bin/vela-agent' " + quotedRoot +
                      "/etc/systemd/system/vela-agent.service' " + quotedRoot +
                      "/etc/systemd/user/vela-agent-desktop.service' 2>/dev/null || true; rm -f " +
                      quotedRoot + "/usr/local/share/vela-agent/brand-light.png' " + quotedRoot +
                      "/usr/local/share/vela-agent/brand-dark.png' 2>/dev/null || true; rmdir " + quotedRoot +
                      "/usr/local/share/vela-agent' 2>/dev/null || true; "
                      "systemctl daemon-reload 2>/dev/null || true; " + kill),
                   sh(stop + "dpkg --purge 'vela-agent' 2>/dev/null || true; " + kill),
                   sh(stop + kill)}));
  EXPECT_EQ(rec_->exits[0], std::pair(0, std::chrono::milliseconds(2000)));
}

TEST(SystemActionsTest, TheOwningPackageIsTheOneDpkgNamesForExactlyThatPath) {
  using SA = SystemActions;
  EXPECT_EQ(SA::packageFromSearch("vela-agent:amd64: /usr/bin/vela-agent\n", "/usr/bin/vela-agent"),
            "vela-agent:amd64");
  EXPECT_EQ(SA::packageFromSearch("diversion by local from: /usr/bin/vela-agent\n"
                                  "diversion by local to: /usr/bin/vela-agent.real\n"
                                  "vela-agent: /usr/bin/vela-agent",
                                  "/usr/bin/vela-agent"),
            "vela-agent");
  // A pattern match on another path names no owner.
  EXPECT_EQ(SA::packageFromSearch("other: /usr/bin/vela-agent-x\n", "/usr/bin/vela-agent"),
            std::nullopt);

  // The live lookup is read-only: the package database on this machine.
  auto live = SystemActions::live();
  if (!std::filesystem::exists("/usr/bin/dpkg")) GTEST_SKIP() << "no dpkg";
  EXPECT_EQ(live->owningPackage("/usr/bin/dpkg"), "dpkg");
  testing::TempDir scratch;
  testing::writeFile(scratch.file("vela-agent"), "");
  EXPECT_EQ(live->owningPackage(scratch.file("vela-agent")), std::nullopt);
}

}  // namespace
}  // namespace vela
