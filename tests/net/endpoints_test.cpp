#include "net/endpoints.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(Endpoints, PathsFollowTheBaseWithExactlyOneSlash) {
  // One joining rule; the tests against the control plane check each path itself.
  for (std::string base : {"https://cp.example.com", "https://cp.example.com/"})
    EXPECT_EQ(Endpoints{base}.enroll(), "https://cp.example.com/api/agent/enroll");
  EXPECT_EQ(Endpoints{"https://cp.example.com:8080/tenant/x"}.enroll(),
            "https://cp.example.com:8080/tenant/x/api/agent/enroll");
  EXPECT_EQ(Endpoints{"https://cp.example.com/tenant/x/"}.quickAssistJoin(),
            "https://cp.example.com/tenant/x/api/quick-assist/join");
  EXPECT_EQ(Endpoints{"https://cp.example.com/base?t=1"}.telemetry(),
            "https://cp.example.com/base/api/agent/telemetry?t=1");
}

// The id is path text, percent-encoded where needed. Dot segments would be resolved
// away by the client or the server and send the result elsewhere: "../../../x" once
// reached /x/result.
TEST(Endpoints, CommandResultInsertsTheIdAndNeverLeavesTheCommandsPath) {
  const std::pair<std::optional<std::string>, const char*> cases[] = {
      {"abc", "abc/result"}, {std::nullopt, "result"}, {"a/b", "a/b/result"},
      {"a b?c#d%e\xc3\xa9", "a%20b%3Fc%23d%25e%C3%A9/result"},
      {"../../../x", "%2E%2E%2F%2E%2E%2F%2E%2E%2Fx/result"},
      {"a/./b", "a%2F%2E%2Fb/result"}, {"..", "%2E%2E/result"}, {"v1.2/..x", "v1.2/..x/result"},
  };
  for (const auto& [id, tail] : cases) {
    EXPECT_EQ(Endpoints{"https://cp/x"}.commandResult(id), std::string("https://cp/x/api/agent/commands/") + tail);
  }
  EXPECT_EQ(Endpoints{"https://cp/x?t=1"}.commandResult(".."), "https://cp/x/api/agent/commands/%2E%2E/result?t=1");
}

TEST(Endpoints, GatewayUsesOnlyTheHostAndQueriesAreEncoded) {
  EXPECT_EQ(Endpoints{"https://cp.example.com:443/base"}.gatewayURL(),
            "wss://cp.example.com:8443/v1/agent/conn");
  EXPECT_EQ(Endpoints{"https://[::1]:9000"}.gatewayURL(), "wss://[::1]:8443/v1/agent/conn");
  EXPECT_EQ(Endpoints{"https://"}.gatewayURL(), std::nullopt);

  EXPECT_EQ(appendQuery("https://cp/u", {{"os", "linux"}, {"current_version", "0.1.0 b&c"}}),
            "https://cp/u?current_version=0.1.0%20b%26c&os=linux");
  EXPECT_EQ(appendQuery("https://cp/u?a=1", {{"b", "2"}}), "https://cp/u?a=1&b=2");
  EXPECT_EQ(appendQuery("https://cp/u", {}), "https://cp/u");
}

}  // namespace
}  // namespace vela
