// The checks EnrollmentService makes before it creates a key or touches the network,
// and what a reply it cannot use is refused for.

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
  EXPECT_EQ(service.enroll(enrolled).value(), enrolled);

  AgentConfig config;
  config.serverBaseURL = "http://plain.example";
  config.enrollmentToken = "T";
  EXPECT_EQ(service.enroll(config).error().message, "invalid server URL: 'http://plain.example'");

  config.serverBaseURL = "https://cp.example/";
  config.enrollmentToken = "";
  EXPECT_EQ(service.enroll(config).error().message,
            "no enrollment token available. Run `vela-agent setup`.");

  EXPECT_FALSE(platform::fileExists(state.file("device.key")));
  EXPECT_FALSE(platform::fileExists(state.file("config.json")));
}

TEST(EnrollmentReply, DecodingNamesTheFirstProblem) {
  auto failure = [](std::string_view text) {
    auto decoded = EnrollmentClient::Result::decode(text);
    return decoded ? std::string("decoded") : decoded.error();
  };
  EXPECT_EQ(failure("<html>"), "the data is not valid JSON (line 1, column 1: invalid literal)");
  EXPECT_EQ(failure("[]"), "expected a JSON object");
  EXPECT_EQ(failure(R"({"agent_id": null})"), "key \"agent_id\" not found");
  EXPECT_EQ(failure(R"({"agent_id": 7})"), "key \"agent_id\" is not a string");
  EXPECT_EQ(failure(R"({"agent_id": "a", "device_token": 1})"), "key \"device_token\" is not a string");
  EXPECT_EQ(failure(R"({"agent_id": "a", "certificate": []})"), "key \"certificate\" is not an object");
  EXPECT_EQ(failure(R"({"agent_id": "a", "certificate": {"serial": "s", "fingerprint": null}})"),
            "certificate: key \"fingerprint\" not found");

  auto reply = EnrollmentClient::Result::decode(
      R"({"agent_id": "a", "device_token": null, "certificate": {"serial": "s", "fingerprint": "f",)"
      R"( "not_after": "n", "pem": "p", "extra": 1}})");
  ASSERT_TRUE(reply) << reply.error();
  EXPECT_EQ(reply->deviceToken, std::nullopt);
  EXPECT_EQ(reply->certificate.pem, "p");
}

}  // namespace
}  // namespace vela
