// The agent installed into a booted systemd (a container): the daemon comes up under the
// service manager and enrols with the test control plane on this machine's loopback. The
// container shares this machine's network, so its daemon also dials the fixed gateway
// port: the test holds that port's lock.

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/background_process.h"
#include "support/build_paths.h"
#include "support/control_plane.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using testing::readFileOrEmpty;

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
  auto booted = testing::runProcess(
      "/bin/bash", {testing::sourcePath("tests/support/systemd_container.sh"), "boot", work.file("c"),
                    testing::agentExe(), VELA_INSTALL_DRIVER, files.file("provisioning.json"),
                    files.file("test.sh")});
  ASSERT_EQ(booted.status, 0) << booted.out << booted.err << readFileOrEmpty(work.file("c/console.log"));

  const std::string log = readFileOrEmpty(work.file("c/upper/opt/vela/test.log"));
  // Owners and modes of what the script installs, its clean-up of its temporary files and
  // systemd's verdict on the units are the system-install test's.
  for (const char* line : {"install=0\n", "Active: active (running)", "enabled=enabled\n", "desktop=enabled\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_NE(cp.agents(), "[]");  // the daemon started by systemd enrolled
}

}  // namespace
}  // namespace vela
