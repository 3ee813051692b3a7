#include "config/system_install.h"

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <filesystem>

#include "config/system_units.h"
#include "platform/file_io.h"
#include "support/background_process.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::readFileOrEmpty;
using testing::writeFile;
namespace fs = std::filesystem;

// The units' own text is the Debian package test's (it compares them with the shipped
// files); here where the script puts them.
const std::string kExpectedScript = R"(#!/bin/bash
set -e
umask 077

STATE='/r/var/lib/vela-agent'
STAGE='/tmp/it'\''s'

install -D -o root -g root -m 755 '/home/u/Down loads/vela-agent' '/r/usr/local/bin/vela-agent'
# --- staged config + pinned trust into the system (root) state dir ---
mkdir -p "$STATE/pinned"
cp "$STAGE/config.json" "$STATE/config.json"
for f in ca.pem command_pubkey.b64 update_pubkey.b64 spki_pins.txt; do
  if [ -f "$STAGE/pinned/$f" ]; then cp "$STAGE/pinned/$f" "$STATE/pinned/$f"; fi
done
chown -R root:root "$STATE"
chmod 700 "$STATE" "$STATE/pinned"
chmod 600 "$STATE/config.json"
find "$STATE/pinned" -maxdepth 1 -type f -exec chmod 600 {} +
mkdir -p '/r/var/log/vela-agent'

# --- system service (root, self-starting) ---
mkdir -p '/r/etc/systemd/system'
cat > '/r/etc/systemd/system/vela-agent.service' <<'VELA_SYSTEM_UNIT'
)" + SystemUnits::systemUnit("/r/usr/local/bin/vela-agent", "/r/var/lib/vela-agent",
                                     "/r/var/log/vela-agent") + R"(VELA_SYSTEM_UNIT
chown root:root '/r/etc/systemd/system/vela-agent.service'
chmod 644 '/r/etc/systemd/system/vela-agent.service'

# --- user service (graphical-session desktop capture helper) ---
mkdir -p '/r/etc/systemd/user'
cat > '/r/etc/systemd/user/vela-agent-desktop.service' <<'VELA_USER_UNIT'
)" + SystemUnits::desktopUnit("/r/usr/local/bin/vela-agent") + R"(VELA_USER_UNIT
chown root:root '/r/etc/systemd/user/vela-agent-desktop.service'
chmod 644 '/r/etc/systemd/user/vela-agent-desktop.service'

# --- (re)start the daemon ---
systemctl daemon-reload
systemctl stop vela-agent.service 2>/dev/null || true
systemctl enable --now vela-agent.service

# --- (re)start the desktop helper for the active seat0 user ---
systemctl --global enable vela-agent-desktop.service
session=$(loginctl show-seat seat0 --property=ActiveSession --value 2>/dev/null || true)
user=
if [ -n "$session" ]; then
  user=$(loginctl show-session "$session" --property=Name --value 2>/dev/null || true)
fi
if [ -n "$user" ] && [ "$user" != root ]; then
  systemctl --user -M "$user@" daemon-reload 2>/dev/null || true
  systemctl --user -M "$user@" restart vela-agent-desktop.service 2>/dev/null || true
fi

exit 0
)";

TEST(SystemInstallTest, PlanScriptAndErrors) {
  const SystemInstall::Plan plan = SystemInstall::resolvePlan("/home/u/Down loads/vela-agent", "/r");
  EXPECT_TRUE(plan.copyExecutable);
  EXPECT_EQ(plan.daemonExecPath, "/r/usr/local/bin/vela-agent");
  EXPECT_EQ(SystemInstall::rootScript("/tmp/it's", plan), kExpectedScript);
  // Already in place: registered where it is, nothing copied.
  const auto inPlace = SystemInstall::resolvePlan("/usr/local/bin/vela-agent");
  EXPECT_FALSE(inPlace.copyExecutable);
  EXPECT_EQ(inPlace.installed.systemUnit, "/etc/systemd/system/vela-agent.service");
  EXPECT_EQ(SystemUnits::execWord("/a b/\"q\"\\%$\n"), R"("/a b/\"q\"\\%%$$\x0a")");

  // What pkexec and the script report comes back as the installation's error.
  testing::TempDir tmp;
  testing::ScopedEnv tmpdir("TMPDIR", tmp.path());
  auto endingWith = [](int status, std::string err) {
    return [=](const std::string&) { return Shell::Result{status, "", err}; };
  };
  auto failure = [&](const SystemInstall::Elevator& elevate) {
    auto error = SystemInstall::runAsAdmin("exit 0\n", elevate);
    EXPECT_FALSE(fs::exists(SystemInstall::scriptFile()));
    return error ? error->description() : "none";
  };
  EXPECT_EQ(failure(endingWith(0, "")), "none");
  EXPECT_EQ(failure(endingWith(126, "Error executing command as another user: Request dismissed\n")),
            "authorization was cancelled");
  EXPECT_EQ(failure(endingWith(127, " Error executing command as another user: Not authorized\n")),
            "Error executing command as another user: Not authorized");
  // The script's own failures speak for themselves; silence reads as a cancel.
  EXPECT_EQ(failure(endingWith(126, "bash: line 3: /usr/local/bin/x: Permission denied\n")),
            "bash: line 3: /usr/local/bin/x: Permission denied");
  EXPECT_EQ(failure(endingWith(1, "")), "authorization was cancelled");
  EXPECT_EQ(failure(endingWith(-1, "spawn failed: No such file or directory")),
            "could not launch pkexec: No such file or directory");
  testing::ScopedEnv badTmp("TMPDIR", "/proc/self/nonexistent");
  ProvisioningPayload minimal;
  minimal.server = "https://cp";
  auto staged = SystemInstall::install(minimal, plan, endingWith(0, ""));
  ASSERT_TRUE(staged);
  EXPECT_THAT(staged->description(),
              ::testing::StartsWith("could not stage install files: /proc/self/nonexistent"));
}

// Installs for real (as root) below a scratch root; systemctl and loginctl are stubs
// that log their arguments, so nothing reaches this machine's service manager.
struct InstallRun {
  InstallRun(const std::string& rootName, const std::string& sourceName,
             const std::string& stageName)
      : root(tmp.file(rootName)), source(tmp.file(sourceName)), stage(tmp.file(stageName)) {
    fs::create_directories(tmp.file("bin"));
    fs::create_directories(stage);
    fs::copy_file("/bin/true", source);
    for (const char* tool : {"systemctl", "loginctl"}) {
      writeFile(tmp.file(std::string("bin/") + tool),
                std::string("#!/bin/sh\necho \"") + tool + " $*\" >>\"" + log() + "\"\n" +
                    "case \"$*\" in *seat0*) echo c2;; *c2*) echo alice;; esac\n");
      fs::permissions(tmp.file(std::string("bin/") + tool), fs::perms::owner_all);
    }
  }

  std::optional<SystemInstall::InstallError> install(const ProvisioningPayload& payload) {
    testing::ScopedEnv tmpdir("TMPDIR", stage);
    const std::string path = tmp.file("bin") + ":" + std::getenv("PATH");
    return SystemInstall::install(payload, SystemInstall::resolvePlan(source, root),
                                  [&](const std::string& script) {
                                    syntax = testing::runProcess("/bin/bash", {"-n", script});
                                    return Shell::run("/bin/bash", {script}, std::nullopt, 120,
                                                      std::map<std::string, std::string>{{"PATH", path}});
                                  });
  }

  std::string log() const { return tmp.file("calls.log"); }
  std::string at(const std::string& path) const { return root + path; }

  testing::TempDir tmp;
  std::string root, source, stage;
  testing::ProcessOutput syntax;  // of `bash -n` over the script
};

void expectOwnedByRoot(const std::string& path, mode_t mode) {
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
  EXPECT_EQ(st.st_uid, 0u) << path;
  EXPECT_EQ(st.st_gid, 0u) << path;
  EXPECT_EQ(st.st_mode & 07777, mode) << path;
}

TEST(SystemInstallTest, InstallsBelowRootAsRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  InstallRun run("root", "vela-agent", "stage");
  ProvisioningPayload payload;
  payload.server = "https://cp.example";
  payload.token = "T1";
  payload.caPem = "CA\n";
  payload.commandPubkey = "Q01E";
  payload.spkiPins = std::vector<std::string>{"a", "", "b"};
  ASSERT_EQ(run.install(payload), std::nullopt);

  const std::pair<const char*, mode_t> installed[] = {
      {"/usr/local/bin/vela-agent", 0755},
      {"/var/lib/vela-agent", 0700},
      {"/var/lib/vela-agent/pinned", 0700},
      {"/var/lib/vela-agent/config.json", 0600},
      {"/var/lib/vela-agent/pinned/ca.pem", 0600},
      {"/var/lib/vela-agent/pinned/spki_pins.txt", 0600},
      {"/etc/systemd/system/vela-agent.service", 0644},
      {"/etc/systemd/user/vela-agent-desktop.service", 0644},
  };
  for (const auto& [path, mode] : installed) expectOwnedByRoot(run.at(path), mode);
  EXPECT_TRUE(fs::is_directory(run.at("/var/log/vela-agent")));
  EXPECT_FALSE(fs::exists(run.at("/var/lib/vela-agent/pinned/update_pubkey.b64")));
  EXPECT_EQ(readFileOrEmpty(run.at("/var/lib/vela-agent/config.json")), payload.toConfig().jsonData());
  EXPECT_EQ(readFileOrEmpty(run.at("/var/lib/vela-agent/pinned/spki_pins.txt")), "a\nb");
  EXPECT_EQ(readFileOrEmpty(run.at("/var/lib/vela-agent/pinned/command_pubkey.b64")), "Q01E");
  EXPECT_EQ(readFileOrEmpty(run.log()),
            "systemctl daemon-reload\n"
            "systemctl stop vela-agent.service\n"
            "systemctl enable --now vela-agent.service\n"
            "systemctl --global enable vela-agent-desktop.service\n"
            "loginctl show-seat seat0 --property=ActiveSession --value\n"
            "loginctl show-session c2 --property=Name --value\n"
            "systemctl --user -M alice@ daemon-reload\n"
            "systemctl --user -M alice@ restart vela-agent-desktop.service\n");
  // The user's temporary files are gone.
  EXPECT_TRUE(fs::is_empty(run.stage));

  // The units' text is the Debian package test's; here systemd reads them.
  for (const char* unit : {"/etc/systemd/system/vela-agent.service", "/etc/systemd/user/vela-agent-desktop.service"}) {
    auto verify = testing::runProcess("/usr/bin/systemd-analyze", {"verify", "--man=no", run.at(unit)});
    EXPECT_EQ(verify.status, 0) << unit << verify.out << verify.err;
  }
}

TEST(SystemInstallTest, HostileValuesStayInert) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string hostile = "x'\"$(touch INJECTED)`touch INJECTED`\n; touch INJECTED #%";
  InstallRun run("r" + hostile, "src" + hostile, "tmp" + hostile);
  const std::string huge(1 << 20, '\'');
  ProvisioningPayload payload;
  payload.server = "https://cp/" + hostile;
  payload.tenant = huge;
  payload.token = hostile;
  payload.caPem = hostile + "\nVELA_SYSTEM_UNIT\n";
  payload.commandPubkey = huge;
  ASSERT_EQ(run.install(payload), std::nullopt);
  EXPECT_EQ(run.syntax.status, 0);
  const std::string state = run.at("/var/lib/vela-agent");
  EXPECT_EQ(readFileOrEmpty(state + "/config.json"), payload.toConfig().jsonData());
  EXPECT_EQ(readFileOrEmpty(state + "/pinned/ca.pem"), *payload.caPem);
  EXPECT_EQ(readFileOrEmpty(state + "/pinned/command_pubkey.b64"), huge);
  EXPECT_TRUE(fs::exists(run.at("/usr/local/bin/vela-agent")));
  // One ExecStart line naming the whole path as one word.
  const std::string unit = readFileOrEmpty(run.at("/etc/systemd/system/vela-agent.service"));
  EXPECT_THAT(unit, HasSubstr("ExecStart=" + SystemUnits::execWord(run.at("/usr/local/bin/vela-agent")) +
                              " run\n"));
  // The hostile commands would touch INJECTED in the script's working directory.
  for (const auto& entry : fs::recursive_directory_iterator(run.tmp.path())) {
    EXPECT_NE(entry.path().filename(), "INJECTED");
  }
  EXPECT_FALSE(fs::exists("INJECTED"));
  EXPECT_TRUE(fs::is_empty(run.stage));
}

}  // namespace
}  // namespace vela
