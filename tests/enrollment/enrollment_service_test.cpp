// The checks EnrollmentService makes before it creates a key or touches the network.

#include "enrollment/enrollment_service.h"

#include <gtest/gtest.h>

#include "enrollment/enrollment_client.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

TEST(EnrollmentService, RefusesEarlyWithoutSideEffects) {
  testing::ScopedStateDir state;
  auto key = AgentCrypto::ed25519PublicKey("11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=").value();
  EnrollmentService service{PinnedTrust{{}, {}, key, key, ""}};

  AgentConfig enrolled;
  enrolled.serverBaseURL = "not a url";
  enrolled.agentID = "";  // any value counts, even an empty one
  auto same = service.enroll(enrolled);
  ASSERT_TRUE(same);
  EXPECT_EQ(*same, enrolled);

  AgentConfig config;
  config.serverBaseURL = "http://plain.example";
  config.enrollmentToken = "T";
  EXPECT_EQ(service.enroll(config).error().message, "invalid server URL: 'http://plain.example'");

  config.serverBaseURL = "https://cp.example/";
  config.enrollmentToken = "";
  EXPECT_EQ(service.enroll(config).error().message, "no enrollment token available. Run `vela-agent setup`.");
  config.enrollmentToken.reset();
  EXPECT_EQ(service.enroll(config).error().message, "no enrollment token available. Run `vela-agent setup`.");

  EXPECT_FALSE(platform::fileExists(state.file("device.key")));
  EXPECT_FALSE(platform::fileExists(state.file("config.json")));
}

TEST(EnrollmentClient, RequestBodyAndReplyDecoding) {
  EnrollmentClient::Request request;
  request.tenantID = "acme";
  auto body = request.jsonData();
  EXPECT_NE(body.find(R"("tenant_id":"acme")"), std::string::npos);
  EXPECT_EQ(body.find("customer_id"), std::string::npos);

  auto ok = EnrollmentClient::Result::decode(
      R"({"agent_id":"a","extra":1,"certificate":{"serial":"1","fingerprint":"f","not_after":"n","pem":"p"}})");
  ASSERT_TRUE(ok);
  EXPECT_FALSE(ok->deviceToken);
  EXPECT_EQ(ok->certificate.notAfter, "n");
  auto missing = EnrollmentClient::Result::decode(R"({"agent_id":"a","certificate":{"serial":"1"}})");
  EXPECT_EQ(missing.error(), R"(certificate: key "fingerprint" not found)");

  EXPECT_EQ(firstCharacters("aé€😀b", 4), "aé€😀");
  EXPECT_EQ(firstCharacters("ab", 400), "ab");
  EXPECT_EQ(EnrollError::server(409, "taken").description(), "enroll failed (HTTP 409): taken");
}

}  // namespace
}  // namespace vela
