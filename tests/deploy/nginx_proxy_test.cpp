// The README's nginx server blocks (docs/nginx-vela.conf) in front of the test control
// plane and gateway on 127.0.0.1: the daemon enrols, heartbeats and holds its gateway
// connection through nginx alone. nginx takes the fixed gateway port 8443.

#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <regex>

#include "remote/gateway_fixture.h"
#include "support/control_plane.h"

namespace vela {
namespace {

using testing::BackgroundProcess;
using testing::readFileOrEmpty;

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  ::close(fd);
  return ntohs(addr.sin_port);
}

std::string substituted(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values) text = std::regex_replace(text, std::regex("@" + name + "@"), value);
  return text;
}

TEST(NginxProxyTest, AgentEnrolsHeartbeatsAndReachesTheGatewayThroughNginx) {
  if (::access("/usr/sbin/nginx", X_OK) != 0) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh)";
  testing::ControlPlane cp;
  const int gatewayPort = freePort();
  // A later --port wins over the fixture's 8443, which nginx holds here.
  testing::GatewayProcess gateway(cp.dir(), {"--operator-port", "0", "--port", std::to_string(gatewayPort)});
  ASSERT_TRUE(gateway.ready());

  testing::TempDir nginxDir;
  const int apiPort = freePort();
  const std::string blocks = substituted(
      readFileOrEmpty(testing::sourcePath("docs/nginx-vela.conf")),
      {{"SERVER_NAME", "127.0.0.1"}, {"API_LISTEN", "127.0.0.1:" + std::to_string(apiPort)},
       {"GATEWAY_LISTEN", "127.0.0.1:8443"}, {"CERTIFICATE", cp.dir() + "/server.pem"},
       {"CERTIFICATE_KEY", cp.dir() + "/server.key"}, {"CONTROL_PLANE", "127.0.0.1:" + std::to_string(cp.port())},
       {"GATEWAY", "127.0.0.1:" + std::to_string(gatewayPort)}});
  ASSERT_FALSE(std::regex_search(blocks, std::regex("@[A-Z_]+@"))) << blocks;
  testing::writeFile(nginxDir.file("vela.conf"), blocks);
  // What /etc/nginx/nginx.conf gives a conf.d file, in a private prefix.
  testing::writeFile(nginxDir.file("nginx.conf"), "pid " + nginxDir.file("nginx.pid") +
                                                      ";\nerror_log " + nginxDir.file("error.log") +
                                                      " info;\nevents {}\nhttp {\n  access_log " +
                                                      nginxDir.file("access.log") + ";\n  include " +
                                                      nginxDir.file("vela.conf") + ";\n}\n");
  BackgroundProcess nginx("/usr/sbin/nginx", {"-p", nginxDir.path(), "-c", nginxDir.file("nginx.conf"), "-g",
                                              "daemon off; master_process off;"});
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] {
    return readFileOrEmpty(nginxDir.file("nginx.pid")).size() > 0 || nginx.exited();
  })) << readFileOrEmpty(nginxDir.file("error.log"));
  ASSERT_FALSE(nginx.exited()) << nginx.err() << readFileOrEmpty(nginxDir.file("error.log"));

  testing::TempDir state;
  cp.pinInto(state.path());
  const testing::Environment env{{"VELA_STATE_DIR", state.path()}, {"VELA_NO_UI", "1"}};
  auto provisioned = testing::runAgent({"provision", "--server", "https://127.0.0.1:" + std::to_string(apiPort),
                                        "--tenant", "t1", "--customer", "c1", "--token", cp.newToken()},
                                       env);
  ASSERT_EQ(provisioned.status, 0) << provisioned.err;

  BackgroundProcess agent(testing::agentExe(), {"run"}, env);
  const bool connected = BackgroundProcess::waitUntil([&] { return !gateway.connections().empty(); });
  EXPECT_TRUE(connected) << agent.err() << readFileOrEmpty(nginxDir.file("error.log"));
  EXPECT_TRUE(BackgroundProcess::waitUntil([&] { return cp.admin("GET", "/admin/heartbeats").body.size() > 2; }));
  EXPECT_THAT(readFileOrEmpty(nginxDir.file("access.log")),
              ::testing::HasSubstr("POST /api/agent/enroll HTTP/2.0\" 201"));
  EXPECT_EQ(agent.stop(SIGTERM), 0) << agent.err();
}

}  // namespace
}  // namespace vela
