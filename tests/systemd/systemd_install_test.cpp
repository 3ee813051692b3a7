// The agent in a booted systemd container (tests/support/systemd_container.sh) that
// shares this machine's network, so its daemon enrols with the test control plane on the
// loopback and dials the fixed gateway port: the tests hold that port's lock. Installed as
// the onboarding window does it, and as the Debian package (which ships the units the agent
// writes), it runs under systemd; the package also survives a kill and a stalled loop,
// upgrades, and is removed and purged (tests/systemd/container/package.sh). Headless, a
// provisioning document alone starts the packaged unit.

#include <gmock/gmock.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <initializer_list>

#include "config/system_units.h"
#include "support/background_process.h"
#include "support/build_paths.h"
#include "support/control_plane.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using testing::readFileOrEmpty;

// Boots a container in `work` with `files` in /opt/vela, the last one the script run
// inside, and expects each of `lines` in the log that script wrote; the log.
std::string bootAndRun(const testing::TempDir& work, std::vector<std::string> files,
                       std::initializer_list<const char*> lines) {
  files.insert(files.begin(),
               {testing::sourcePath("tests/support/systemd_container.sh"), "boot", work.file("c")});
  auto run = testing::runProcess("/bin/bash", files);
  if (run.status != 0) {
    ADD_FAILURE() << run.out << run.err << readFileOrEmpty(work.file("c/console.log"));
    return "";
  }
  const std::string log = readFileOrEmpty(work.file("c/upper/opt/vela/test.log"));
  for (const char* line : lines) EXPECT_THAT(log, ::testing::HasSubstr(line));
  return log;
}

// Runs inside the container once it is up.
constexpr char kContainerCommands[] = R"sh(set -x
/opt/vela/install_driver /opt/vela/provisioning.json /opt/vela/vela-agent
echo "install=$?"
# Enrolment is the daemon's first network exchange; give it a generous while.
for i in $(seq 120); do grep -q '"agentID"' /var/lib/vela-agent/config.json && break; sleep 1; done
systemctl status --no-pager vela-agent.service
echo "enabled=$(systemctl is-enabled vela-agent.service)"
echo "desktop=$(systemctl --global is-enabled vela-agent-desktop.service)"
)sh";

TEST(SystemdInstallTest, DaemonRunsUnderSystemdAndEnrols) {
  if (geteuid() != 0) GTEST_SKIP() << "booting a container needs root";
  testing::ControlPlane cp;
  testing::TempDir files;
  testing::writeFile(files.file("provisioning.json"), cp.provisioningJSON());
  testing::writeFile(files.file("test.sh"), kContainerCommands);
  testing::TempDir work;
  // Owners and modes of what the script installs, its clean-up of its temporary files and
  // systemd's verdict on the units are the system-install test's.
  bootAndRun(work,
             {testing::agentExe(), VELA_INSTALL_DRIVER, files.file("provisioning.json"),
              files.file("test.sh")},
             {"install=0\n", "Active: active (running)", "enabled=enabled\n", "desktop=enabled\n"});
  EXPECT_NE(cp.agents(), "[]");  // the daemon started by systemd enrolled
}

// Runs inside the container: the headless path with the unit the package ships. A
// provisioning document alone starts the service; the journal is the only log; a
// configuration that does not parse stops it for good, saying where.
constexpr char kHeadlessCommands[] = R"sh(set -x
cd /opt/vela
count() { journalctl -u vela-agent.service -o cat --no-pager "${@:2}" | grep -cF -- "$1"; }
install -m 755 vela-agent /usr/bin/vela-agent && cp vela-agent.service /lib/systemd/system/
systemctl daemon-reload && systemctl enable vela-agent.service
systemd-analyze verify --man=no vela-agent.service; echo "verify=$?"
systemctl start vela-agent.service; echo "unprovisioned=$(systemctl is-active vela-agent.service)"
install -d -m 700 /var/lib/vela-agent && install -m 600 provisioning.json /var/lib/vela-agent/
systemctl start vela-agent.service; echo "start=$?"
echo "active=$(systemctl is-active vela-agent.service)"
grep -q '"agentID"' /var/lib/vela-agent/config.json && echo "enrolled=yes"
[ -e /var/lib/vela-agent/provisioning.json ] || echo "document-consumed=yes"
[ -e /var/log/vela-agent ] || echo "no-log-dir=yes"
echo "provisioned-once=$(count "provisioned from system: /var/lib/vela-agent/provisioning.json") at-info=$(count "provisioned from system:" -p info..info)"
echo "errors=$(journalctl -u vela-agent.service -o cat --no-pager -p err | grep -c .)"

# What an administrator asks of it: status while it runs, a second daemon, status after.
pid=$(systemctl show -p MainPID --value vela-agent.service)
for i in $(seq 60); do vela-agent status | grep -q ', gateway connected$' && break; sleep 1; done
vela-agent status
vela-agent status | grep -qE "^  daemon: running \(pid $pid\), last heartbeat [0-9]+ s ago, gateway connected$" && echo "status-running=yes"
vela-agent status --json | grep -q "\"gateway\":\"connected\"" && echo "status-json=yes"
second=$(vela-agent run 2>&1); echo "second=$?"
[ "$second" = "error: another vela-agent (pid $pid) is using /var/lib/vela-agent" ] && echo "second-refused=yes"
echo "banner-once=$(count "running (pid $pid")"
[ -e /var/log/vela-agent ] || echo "still-no-log-dir=yes"
systemctl stop vela-agent.service
vela-agent status | grep -qx "  daemon: not running" && echo "status-stopped=yes"
[ -e /run/vela-agent/status.json ] || echo "status-file-gone=yes"
printf '{\n  "serverBaseURL": "https://cp.example"\n  "channel": "stable"\n}\n' > /var/lib/vela-agent/config.json
systemctl start vela-agent.service; echo "broken-start=$?"
sleep 15  # past RestartSec
echo "broken=$(systemctl is-active vela-agent.service) status=$(systemctl show -p ExecMainStatus --value vela-agent.service) restarts=$(systemctl show -p NRestarts --value vela-agent.service)"
echo "reason-at-err=$(count "config.json: the data is not valid JSON (line 3, column 11: unexpected string literal; expected '}')" -p err..err)"
vela-agent status | grep -qF "(line 3, column 11: " && echo "status-names-position=yes"
vela-agent doctor | grep -qF "(line 3, column 11: " && echo "doctor-names-position=yes"
systemctl status --no-pager vela-agent.service
)sh";

TEST(SystemdInstallTest, ProvisioningDocumentAloneStartsTheServiceAndBrokenConfigurationStopsIt) {
  if (geteuid() != 0) GTEST_SKIP() << "booting a container needs root";
  testing::ControlPlane cp;
  // The container shares this machine's network: its daemon dials this gateway.
  testing::BackgroundProcess gateway("/usr/bin/python3",
                                     {testing::sourcePath("tools/controlplane/gateway.py"), cp.dir(), "--port", "8443"});
  ASSERT_TRUE(testing::BackgroundProcess::waitUntil(
      [&] { return gateway.out().find("gateway: ready") != std::string::npos; }))
      << gateway.err();
  testing::TempDir files;
  testing::writeFile(files.file("provisioning.json"), cp.provisioningJSON());
  testing::writeFile(files.file("vela-agent.service"), readFileOrEmpty(testing::sourcePath("debian/vela-agent.service")));
  testing::writeFile(files.file("test.sh"), kHeadlessCommands);
  testing::TempDir work;
  bootAndRun(work,
             {testing::agentExe(), files.file("vela-agent.service"), files.file("provisioning.json"),
              files.file("test.sh")},
             {"verify=0\n", "unprovisioned=inactive\n", "start=0\n", "active=active\n", "enrolled=yes\n",
              "document-consumed=yes\n", "no-log-dir=yes\n", "provisioned-once=1 at-info=1\n", "errors=0\n",
              "status-running=yes\n", "status-json=yes\n", "second=1\n", "second-refused=yes\n", "banner-once=1\n",
              "still-no-log-dir=yes\n", "status-stopped=yes\n", "status-file-gone=yes\n",
              "broken-start=1\n", "broken=failed status=78 restarts=0\n", "reason-at-err=1\n",
              "status-names-position=yes\n", "doctor-names-position=yes\n"});
  EXPECT_NE(cp.agents(), "[]");
}

TEST(DebianPackageTest, ShipsTheUnitsTheAgentWrites) {
  EXPECT_EQ(readFileOrEmpty(testing::sourcePath("debian/vela-agent.service")),
            SystemUnits::systemUnit("/usr/bin/vela-agent", "/var/lib/vela-agent"));
  EXPECT_EQ(readFileOrEmpty(testing::sourcePath("debian/vela-agent.vela-agent-desktop.user.service")),
            SystemUnits::desktopUnit("/usr/bin/vela-agent"));
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(DebianPackageTest, InstallsRunsUpgradesAndPurgesUnderSystemd) {
  if (geteuid() != 0) GTEST_SKIP() << "booting a container needs root";
  testing::TempDir work;
  // Built once from a copy of the source, with the executable this build already made.
  const auto built = std::chrono::steady_clock::now();
  const std::string src = work.file("src");
  std::filesystem::create_directories(src);
  auto copied = testing::runProcess("/bin/sh", {"-c", "tar -C \"$0\" --exclude=./build --exclude=./.git -cf - . | tar -xf - -C \"$1\"",
                                                testing::sourcePath(""), src});
  ASSERT_EQ(copied.status, 0) << copied.err;
  const std::string prebuilt = std::filesystem::path(testing::agentExe()).parent_path().parent_path();
  auto package = testing::runProcess("/bin/sh", {"-c", "cd \"$0\" && dpkg-buildpackage -b -us -uc", src},
                                     {{"VELA_PREBUILT", prebuilt}});
  ASSERT_EQ(package.status, 0) << package.out << package.err;
  // The upgrade: the same package with a higher version.
  auto upgrade = testing::runProcess("/bin/sh", {"-c", R"(cd "$0" && dpkg-deb -R vela-agent_0.1.0_amd64.deb next &&
      sed -i 's/^Version: 0.1.0$/Version: 0.1.1/' next/DEBIAN/control && dpkg-deb -b next vela-agent_0.1.1_amd64.deb)",
                                                   work.path()});
  ASSERT_EQ(upgrade.status, 0) << upgrade.out << upgrade.err;
  std::cout << "package build: " << secondsSince(built) << " s\n";

  testing::ControlPlane cp;
  testing::TempDir files;
  testing::writeFile(files.file("provisioning.json"), cp.provisioningJSON());
  testing::writeFile(files.file("test.sh"), readFileOrEmpty(testing::sourcePath("tests/systemd/container/package.sh")));
  const auto booted = std::chrono::steady_clock::now();
  const std::string log = bootAndRun(
      work,
      {work.file("vela-agent_0.1.0_amd64.deb"), work.file("vela-agent_0.1.1_amd64.deb"),
       files.file("provisioning.json"), files.file("test.sh")},
      {"install=0\n", "enabled=enabled\n", "desktop=enabled\n", "unconfigured=inactive\n",
       "verify=0\n", "provision=0\n", "start=0\n", "enrolled-when-ready=yes\n",
       "Active: active (running)", "banner-once=1 at-info=1\n", "restarted-after-kill=yes\n",
       "restarted-after-stall=yes\n", "watchdog-fired=yes\n", "stream-banner-once=1 at-info=1\n",
       "stall-once=1 at-warning=1\n", "upgrade=0 version=0.1.1\n", "restarted-by-upgrade=yes\n",
       "running-before-remove=active\n", "remove=0\n", "after-remove=inactive\n", "disabled=yes\n",
       "state-kept=yes\n", "purge=0\n", "purged-state=yes\n", "desktop-disabled=yes\n"});
  std::cout << "container: " << secondsSince(booted) << " s\n";

  std::string listed;
  for (std::size_t at = log.find("\nlisted "); at != std::string::npos; at = log.find("\nlisted ", at + 1)) {
    listed += log.substr(at + 8, log.find('\n', at + 1) - at - 8) + "\n";
  }
  EXPECT_EQ(listed,
            "/lib/systemd/system/vela-agent.service\n"
            "/usr/bin/vela-agent\n"
            "/usr/lib/systemd/user/vela-agent-desktop.service\n"
            "/usr/share/bash-completion/completions/vela-agent\n"
            "/usr/share/doc/vela-agent/changelog.gz\n"
            "/usr/share/doc/vela-agent/copyright\n"
            "/usr/share/lintian/overrides/vela-agent\n"
            "/usr/share/man/man8/vela-agent.8.gz\n"
            "/usr/share/vela-agent/brand-dark.png\n"
            "/usr/share/vela-agent/brand-light.png\n")
      << log;
  EXPECT_NE(cp.agents(), "[]");
}

}  // namespace
}  // namespace vela
