// The checks EnrollmentService makes before it creates a key or touches the network.

#include "enrollment/enrollment_service.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vela
