#include "config/setup_wizard.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/temp_dir.h"

namespace vela {
namespace {

using testing::ScopedEnv;

SetupWizard::Flags flagsWith(std::optional<std::string> server, std::optional<std::string> tenant) {
  return {std::move(server), std::move(tenant), {}, {}, {}, false};
}

// Every test starts with an empty state directory and no provisioning variables.
class SetupWizardTest : public ::testing::Test {
 protected:
  SetupWizardTest() {
    for (const char* name : {"VELA_TENANT", "VELA_TENANT_ID", "VELA_CUSTOMER", "VELA_CUSTOMER_ID", "VELA_SERVER",
                             "VELA_SERVER_URL", "VELA_TOKEN", "VELA_ENROLL_TOKEN", "VELA_CHANNEL"}) {
      env_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    }
  }
  ~SetupWizardTest() override {
    while (!env_.empty()) env_.pop_back();  // restore in reverse order
  }
  void setEnv(const char* name, const std::optional<std::string>& value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, value));
  }

  testing::ScopedStateDir state_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

TEST_F(SetupWizardTest, PrecedenceFlagsThenFileNameThenEnvironmentThenConfig) {
  AgentConfig existing;
  existing.serverBaseURL = "https://config";
  existing.tenantID = "config-tenant";
  existing.customerID = "config-customer";
  existing.enrollmentToken = "config-token";
  setEnv("VELA_TENANT", "env-tenant");
  setEnv("VELA_CUSTOMER", "env-customer");
  setEnv("VELA_SERVER", "env-server");
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
  setEnv("VELA_SERVER", std::nullopt);
  existing.serverBaseURL = "";
  info = SetupWizard::merged(flagsWith("http://plain", {}), {}, existing);
  EXPECT_EQ(info.serverBaseURL, std::nullopt);
  EXPECT_EQ(info.source, "defaults+config+env");
}

}  // namespace
}  // namespace vela
