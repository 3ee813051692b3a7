#include "support/control_plane.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/agent_process.h"

namespace vela {
namespace {

using testing::ControlPlane;

TEST(ControlPlaneHelper, StartsAndAnswersAdminAndAgentCalls) {
  ControlPlane cp;
  EXPECT_EQ(cp.baseURL(), "https://127.0.0.1:" + std::to_string(cp.port()));

  auto provisioning = nlohmann::json::parse(cp.provisioningJSON());
  EXPECT_EQ(provisioning["server"], cp.baseURL());
  EXPECT_EQ(provisioning["caPem"], cp.caPem());
  EXPECT_EQ(cp.commandPublicKey().size(), 44u);

  std::string token = cp.newToken();
  EXPECT_FALSE(token.empty());
  EXPECT_NE(token, cp.newToken());
  EXPECT_EQ(cp.agents(), "[]");
  EXPECT_THROW(cp.queueCommand("nobody", "ping"), std::runtime_error);

  // The agent API is HTTPS under the directory's CA and wants a bearer token.
  std::string caFile = cp.dir() + "/ca.pem";
  auto call = [&] {
    return testing::runProcess("/usr/bin/curl",
                               {"-sS", "--cacert", caFile, "-o", "/dev/null", "-w",
                                "%{http_code}", cp.baseURL() + "/api/agent/commands"});
  };
  EXPECT_EQ(call().out, "401");

  ControlPlane::Fault fault;
  fault.path = "/api/agent/commands";
  fault.status = 503;
  fault.body = "{}";
  cp.scriptFault(fault);
  EXPECT_EQ(call().out, "503");
  EXPECT_EQ(call().out, "401");
}

}  // namespace
}  // namespace vela
