#include "config/setup_wizard.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

#include "config/filename_provisioning.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using testing::ScopedEnv;
using testing::ScopedStateDir;

// Answers prompts from a script; an exhausted script is the end of input.
class ScriptedTerminal : public platform::Terminal {
 public:
  ScriptedTerminal(bool interactive, std::deque<std::string> answers)
      : interactive_(interactive), answers_(std::move(answers)) {}
  bool isInteractive() override { return interactive_; }
  void write(std::string_view text) override { shown += text; }
  std::optional<std::string> readLine() override {
    if (answers_.empty()) return std::nullopt;
    std::string answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  std::string shown;

 private:
  bool interactive_;
  std::deque<std::string> answers_;
};

const std::string kServerPrompt = "Server base URL (e.g. https://rmm.example.com): ";
const std::string kTokenPrompt = "One-time enrollment token: ";
const std::string kRequired = "  \u21b3 required.\n";

// Every test starts with an empty state directory and no provisioning variables.
class SetupWizardTest : public ::testing::Test {
 protected:
  SetupWizardTest() {
    for (const char* name : {"VELA_TENANT", "VELA_TENANT_ID", "VELA_CUSTOMER", "VELA_CUSTOMER_ID",
                             "VELA_SERVER", "VELA_SERVER_URL", "VELA_TOKEN", "VELA_ENROLL_TOKEN",
                             "VELA_CHANNEL"}) {
      cleared_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    }
  }
  void setEnv(const char* name, const std::string& value) {
    cleared_.push_back(std::make_unique<ScopedEnv>(name, value));
  }

  ScopedStateDir state_;
  std::vector<std::unique_ptr<ScopedEnv>> cleared_;
};

TEST_F(SetupWizardTest, PrecedenceFlagsThenFileNameThenEnvironmentThenConfig) {
  AgentConfig existing;
  existing.serverBaseURL = "https://config";
  existing.tenantID = "config-tenant";
  existing.customerID = "config-customer";
  existing.enrollmentToken = "config-token";
  existing.channel = "config-channel";
  setEnv("VELA_TENANT", "env-tenant");
  setEnv("VELA_CUSTOMER", "env-customer");
  setEnv("VELA_SERVER", "env-server");
  const std::string argv0 = "/opt/VelaAgent__tenant-file-tenant__server-file-server.pkg";
  SetupWizard::Flags flags;
  flags.tenantID = "flag-tenant";

  ProvisioningInfo info = SetupWizard::merged(flags, argv0, existing);
  EXPECT_EQ(info.tenantID, "flag-tenant");
  EXPECT_EQ(info.serverBaseURL, "https://file-server");
  EXPECT_EQ(info.customerID, "env-customer");
  EXPECT_EQ(info.enrollmentToken, "config-token");
  EXPECT_EQ(info.channel, "config-channel");
  EXPECT_EQ(info.source,
            "defaults+config+env+filename(VelaAgent__tenant-file-tenant__server-file-server.pkg)+flags");

  // Without the flag and the file name, the environment decides.
  info = SetupWizard::merged({}, "/opt/vela-agent", existing);
  EXPECT_EQ(info.tenantID, "env-tenant");
  EXPECT_EQ(info.serverBaseURL, "https://env-server");
  EXPECT_EQ(info.source, "defaults+config+env");
}

TEST_F(SetupWizardTest, StoredEmptyServerAndRefusedFlagContributeNothing) {
  AgentConfig existing;  // serverBaseURL ""
  ProvisioningInfo info = SetupWizard::merged({}, std::nullopt, existing);
  EXPECT_EQ(info.serverBaseURL, std::nullopt);
  EXPECT_EQ(info.channel, "stable");
  EXPECT_EQ(info.source, "defaults+config");

  SetupWizard::Flags flags;
  flags.serverBaseURL = "http://plain";
  EXPECT_EQ(flags.asProvisioning().serverBaseURL, std::nullopt);
  EXPECT_EQ(flags.asProvisioning().source, "");
  EXPECT_EQ(SetupWizard::merged(flags, std::nullopt, std::nullopt).source, "defaults");
}

TEST_F(SetupWizardTest, NonInteractiveMissingSettingsNameTheirSources) {
  ScriptedTerminal terminal(/*interactive=*/true, {"https://never-asked"});
  SetupWizard::Flags flags;
  flags.nonInteractive = true;
  auto result = SetupWizard::resolveConfig(flags, std::nullopt, terminal);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message,
            "missing required setting: Server base URL (e.g. https://rmm.example.com). set it in the "
            "filename (server-\u2026), env VELA_SERVER, or `--server`, or run `vela-agent setup` "
            "interactively.");
  EXPECT_EQ(terminal.shown, "");

  flags.serverBaseURL = "cp.example";
  setEnv("VELA_TOKEN", "");  // an empty token is no token
  result = SetupWizard::resolveConfig(flags, std::nullopt, terminal);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message,
            "missing required setting: One-time enrollment token. set it in the filename (token-\u2026), "
            "env VELA_TOKEN, or `--token`, or run `vela-agent setup` interactively.");
}

TEST_F(SetupWizardTest, EnrolledDeviceKeepsItsIdentityAndNeedsNoToken) {
  AgentConfig stored;
  stored.serverBaseURL = "https://old";
  stored.agentID = "agent-1";
  stored.deviceToken = "dt";
  stored.tenantID = "T";
  stored.heartbeatIntervalSeconds = 5;
  ASSERT_TRUE(stored.save());
  SetupWizard::Flags flags;
  flags.serverBaseURL = "https://new/";
  flags.customerID = "C";
  flags.nonInteractive = true;
  ScriptedTerminal terminal(false, {});
  auto config = SetupWizard::resolveConfig(flags, std::nullopt, terminal);
  ASSERT_TRUE(config) << config.error().message;
  EXPECT_EQ(config->serverBaseURL, "https://new");
  EXPECT_EQ(config->customerID, "C");
  EXPECT_EQ(config->tenantID, "T");
  EXPECT_EQ(config->agentID, "agent-1");
  EXPECT_EQ(config->deviceToken, "dt");
  EXPECT_EQ(config->heartbeatIntervalSeconds, 5);
  EXPECT_EQ(config->enrollmentToken, std::nullopt);
}

TEST_F(SetupWizardTest, InteractivePromptsRepeatUntilAnswered) {
  ScriptedTerminal terminal(true, {"", "http://cp.example", "cp.example/", "  ACME ", "", "", "TOK"});
  auto config = SetupWizard::resolveConfig({}, std::nullopt, terminal);
  ASSERT_TRUE(config) << config.error().message;
  EXPECT_EQ(config->serverBaseURL, "https://cp.example");
  EXPECT_EQ(config->tenantID, "ACME");
  EXPECT_EQ(config->customerID, std::nullopt);
  EXPECT_EQ(config->enrollmentToken, "TOK");
  EXPECT_EQ(config->channel, "stable");
  EXPECT_EQ(terminal.shown, kServerPrompt + kRequired + kServerPrompt + kRequired + kServerPrompt +
                                "Tenant ID (optional, Enter to skip): " +
                                "Customer/site ID (optional, Enter to skip): " + kTokenPrompt +
                                kRequired + kTokenPrompt);
}

TEST_F(SetupWizardTest, EndOfInputAtARequiredPromptEndsWithTheMissingSettingError) {
  ScriptedTerminal atServer(true, {""});
  auto result = SetupWizard::resolveConfig({}, std::nullopt, atServer);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().message.starts_with("missing required setting: Server base URL"));

  ScriptedTerminal atToken(true, {"cp"});  // tenant and customer prompts hit the end too
  result = SetupWizard::resolveConfig({}, std::nullopt, atToken);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().message.starts_with("missing required setting: One-time enrollment token"));
}

TEST_F(SetupWizardTest, RecommendedSettings) {
  ScriptedTerminal terminal(true, {"typed"});
  EXPECT_EQ(SetupWizard::requireRecommended("given", "Tenant ID", true, terminal), "given");
  EXPECT_EQ(terminal.shown, "");
  EXPECT_EQ(SetupWizard::requireRecommended("", "Tenant ID", true, terminal), "typed");
  EXPECT_EQ(SetupWizard::requireRecommended("", "Tenant ID", true, terminal), "");  // end of input
  EXPECT_EQ(SetupWizard::requireRecommended(std::nullopt, "Tenant ID", false, terminal), std::nullopt);
}

}  // namespace
}  // namespace vela
