// The enroll command run as the built binary against the test control plane.

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/agent_config.h"
#include "identity/cert_store.h"
#include "identity/pem.h"
#include "net/http_client.h"
#include "support/background_process.h"
#include "support/enrolled_agent.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ProcessOutput;

class EnrollCommand : public testing::ControlPlaneSuite {
 protected:
  ProcessOutput enroll(const std::string& token) const {
    return testing::runAgent({"enroll", "--server", cp_->baseURL(), "--token", token},
                             {{"VELA_LOG_FILE", std::nullopt},
                              {"VELA_TENANT", std::nullopt},
                              {"VELA_CUSTOMER", std::nullopt}});
  }
  AgentConfig storedConfig() const {
    return AgentConfig::decode(testing::readFileOrEmpty(state_.file("config.json"))).value();
  }
};

TEST_F(EnrollCommand, EnrolsOnceTheIdentityPassesMutualTLSAndTheSpentTokenIsForgotten) {
  const std::string token = cp_->newToken();
  ProcessOutput first = enroll(token);
  ASSERT_EQ(first.status, 0) << first.err;
  AgentConfig config = storedConfig();
  ASSERT_TRUE(config.agentID && config.deviceToken && config.certNotAfter);
  EXPECT_EQ(first.out, "Enrolled as agent " + *config.agentID + "\n");
  EXPECT_FALSE(config.enrollmentToken);
  EXPECT_EQ(config.serverBaseURL, cp_->baseURL());
  EXPECT_THAT(first.err, HasSubstr("INFO: Device key ready (file)"));
  EXPECT_THAT(first.err, HasSubstr("Enrolling at " + cp_->baseURL() +
                                   "/api/agent/enroll (tenant=-, customer=-)"));

  json agents = json::parse(cp_->agents());
  auto me = std::find_if(agents.begin(), agents.end(),
                         [&](const json& a) { return a["agent_id"] == *config.agentID; });
  ASSERT_NE(me, agents.end());
  EXPECT_EQ((*me)["os"], "linux");
  EXPECT_EQ((*me)["capabilities"], json({{"shell", true}, {"backup", false}, {"desktop", true}}));
  EXPECT_FALSE(me->contains("tenant_id") || me->contains("customer_id"));
  EXPECT_EQ((*me)["cert_fingerprint"], *config.certFingerprint);

  ProcessOutput second = enroll(token);
  EXPECT_EQ(second.status, 0);
  EXPECT_THAT(second.err,
              HasSubstr("INFO: Already enrolled as " + *config.agentID + "; skipping."));

  // The server verifies a presented certificate against its CA, so a request that
  // arrives with this fingerprint was authenticated by the stored identity.
  HTTPClient client(trust_, CertStore::loadIdentity().value().identity);
  auto reply = client.get(cp_->baseURL() + "/api/agent/commands",
                          {{"Authorization", "Bearer " + *config.deviceToken}});
  ASSERT_TRUE(reply) << reply.error().description();
  EXPECT_EQ(reply->status, 204);
  json requests = json::parse(cp_->requests());
  EXPECT_EQ(requests.back()["client_cert_fingerprint"], *config.certFingerprint);

  std::filesystem::remove(state_.file("config.json"));
  ProcessOutput reused = enroll(token);
  EXPECT_EQ(reused.status, 1);
  EXPECT_EQ(
      reused.err.substr(reused.err.rfind("error: ")),
      "error: Invalid or expired enrollment token. Obtain a fresh token and run setup again.\n");
  EXPECT_FALSE(storedConfig().enrollmentToken);
}

TEST_F(EnrollCommand, FailuresOtherThanARefusedTokenKeepTheConfiguration) {
  // Only the first 400 characters of the body, counted as characters, not bytes.
  std::string body = std::string(399, 'x') + "é" + std::string(50, 'y');
  cp_->scriptFault({.path = "/api/agent/enroll", .status = 409, .body = body});
  ProcessOutput conflict = enroll("T-409");
  EXPECT_EQ(conflict.status, 1);
  EXPECT_THAT(conflict.err,
              HasSubstr("error: enroll failed (HTTP 409): " + std::string(399, 'x') + "é\n"));
  EXPECT_EQ(storedConfig().enrollmentToken, "T-409");

  cp_->scriptFault({.path = "/api/agent/enroll", .status = 200, .body = R"({"agent_id": 7})"});
  ProcessOutput garbled = enroll("T-409");
  EXPECT_THAT(garbled.err, HasSubstr("error: could not decode enroll response: "));
  EXPECT_THAT(garbled.err, HasSubstr(R"( — body: {"agent_id": 7})"));
  EXPECT_FALSE(storedConfig().agentID);
}

TEST_F(EnrollCommand, ReplyWithoutDeviceTokenStillEnrolsWithAWarning) {
  json patch = {{"device_token", nullptr},
                {"certificate", {{"fingerprint", "ab"}, {"not_after", "2031-01-01T00:00:00Z"}}}};
  cp_->scriptFault({.path = "/api/agent/enroll", .patch = patch.dump()});
  ProcessOutput out = enroll(cp_->newToken());
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_THAT(
      out.err,
      HasSubstr("WARN: enroll response had no device_token; telemetry/command auth will fail"));
  EXPECT_THAT(out.err, HasSubstr("WARN: server fingerprint ab ≠ local "));
  AgentConfig config = storedConfig();
  EXPECT_TRUE(config.agentID);
  EXPECT_FALSE(config.deviceToken);
  EXPECT_EQ(config.certNotAfter, "2031-01-01T00:00:00Z");
}

// Reply values become bearer headers, URL paths and log lines, and the certificate the
// mTLS identity: a reply that does not fit is refused and nothing of it is stored.
TEST_F(EnrollCommand, HostileReplyValuesAndAForeignCertificateAreRefused) {
  struct Case {
    json patch;
    std::string error;
  };
  const std::string badAgentID =
      "error: enroll response refused: agent_id must be 1 to 256 printable ASCII characters "
      "without white space\n";
  const Case cases[] = {
      {{{"device_token", "dev-1\r\nX-Injected: 1"}},
       "error: enroll response refused: device_token must be 1 to 4096 printable ASCII "
       "characters without white space\n"},
      {{{"agent_id", "a-1\n[2026-12-04T16:03:08Z] INFO: forged"}}, badAgentID},
      {{{"agent_id", std::string(257, 'a')}}, badAgentID},
      {{{"certificate", {{"pem", cp_->caPem()}}}},
       "error: issued certificate does not carry this device's public key; refusing to store it\n"},
      {{{"certificate", {{"pem", PEM::encode(toBytes("not a certificate"), "CERTIFICATE")}}}},
       "error: issued certificate is not valid DER\n"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(state_.file("config.json"));
    std::filesystem::remove(state_.file("agent.crt"));
    cp_->scriptFault({.path = "/api/agent/enroll", .patch = c.patch.dump()});
    ProcessOutput out = enroll(cp_->newToken());
    EXPECT_EQ(out.status, 1) << c.patch;
    EXPECT_THAT(out.err, HasSubstr(c.error));
    EXPECT_THAT(out.err, Not(HasSubstr("\n[2026-12-04T16:03:08Z] INFO: forged")));
    EXPECT_FALSE(storedConfig().agentID);
    EXPECT_FALSE(storedConfig().deviceToken);
    EXPECT_FALSE(std::filesystem::exists(state_.file("agent.crt"))) << c.patch;
  }
}

TEST_F(EnrollCommand, CorruptDeviceKeyIsReplacedByAFreshFileKey) {
  testing::writeFile(state_.file("device.key"), "garbage");  // refused as the key test shows
  // Through setup, which enrols right after saving the configuration.
  ProcessOutput out = testing::runAgent(
      {"setup", "--enroll", "-y", "--server", cp_->baseURL(), "--token", cp_->newToken()},
      {{"VELA_LOG_FILE", std::nullopt}});
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_TRUE(out.out.starts_with("Configuration written to "));
  EXPECT_THAT(out.out,
              HasSubstr("\nEnrolled as agent " + storedConfig().agentID.value_or("none") + "\n"));
  EXPECT_THAT(out.err, HasSubstr("INFO: generated file-backed device key at " +
                                 state_.file("device.key") + "\n"));
  EXPECT_THAT(out.err, Not(HasSubstr("keychain")));
  // The key's file format is the device-key test's; here that the identity loads.
  EXPECT_TRUE(CertStore::loadIdentity());
}

}  // namespace
}  // namespace vela
