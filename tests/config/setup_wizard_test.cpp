#include "config/setup_wizard.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>

#include "support/temp_dir.h"

namespace vela {
namespace {

using testing::ScopedEnv;

SetupWizard::Flags flagsWith(std::optional<std::string> server, std::optional<std::string> tenant) {
  return {std::move(server), std::move(tenant), {}, {}, {}, false};
}

TEST(SetupWizardTest, PrecedenceFlagsThenFileNameThenEnvironmentThenConfig) {
  // No provisioning variables but the ones set here.
  std::deque<ScopedEnv> env;
  for (const char* name : {"VELA_TENANT_ID", "VELA_CUSTOMER_ID", "VELA_SERVER_URL", "VELA_TOKEN",
                           "VELA_ENROLL_TOKEN", "VELA_CHANNEL"}) {
    env.emplace_back(name, std::nullopt);
  }
  env.emplace_back("VELA_TENANT", "env-tenant");
  env.emplace_back("VELA_CUSTOMER", "env-customer");
  std::optional<ScopedEnv> server(std::in_place, "VELA_SERVER", "env-server");
  AgentConfig existing;
  existing.serverBaseURL = "https://config";
  existing.tenantID = "config-tenant";
  existing.customerID = "config-customer";
  existing.enrollmentToken = "config-token";
  const std::string argv0 = "/opt/VelaAgent__tenant-file-tenant__server-file-server.pkg";

  ProvisioningInfo info = SetupWizard::merged(flagsWith({}, "flag-tenant"), argv0, existing);
  EXPECT_EQ(info, (ProvisioningInfo{"flag-tenant", "env-customer", "https://file-server", "config-token", "stable",
                                    "defaults+config+env+filename(VelaAgent__tenant-file-tenant__server-file-"
                                    "server.pkg)+flags"}));
  info = SetupWizard::merged({}, "/opt/vela-agent", existing);
  EXPECT_EQ(info.tenantID, "env-tenant");
  EXPECT_EQ(info.serverBaseURL, "https://env-server");
  EXPECT_EQ(info.source, "defaults+config+env");

  // A stored empty server and a refused flag contribute nothing.
  server.emplace("VELA_SERVER", std::nullopt);
  existing.serverBaseURL = "";
  info = SetupWizard::merged(flagsWith("http://plain", {}), {}, existing);
  EXPECT_EQ(info.serverBaseURL, std::nullopt);
  EXPECT_EQ(info.source, "defaults+config+env");
}

}  // namespace
}  // namespace vela
