#include "runtime/quick_assist_command.h"

#include <gtest/gtest.h>

#include "quickassist/quick_assist_client.h"

namespace vela {
namespace {

TEST(QuickAssistCommand, ArgumentsAndMessages) {
  // "--server URL CODE" is the end-to-end test's; here the odd orders. A server value that
  // is no URL is still not the code, nor is its text anywhere else.
  const std::tuple<CLI::Args, std::optional<std::string>, std::string> cases[] = {
      {{"-v", "987", "--server"}, std::nullopt, "987"},
      {{"--server", "no url", "42"}, std::nullopt, "42"},
      {{"https://h:1", "--server", "https://h:1"}, "https://h:1", ""}};
  for (const auto& [args, server, code] : cases) {
    auto parsed = CLI::quickAssistArguments(args);
    EXPECT_EQ(parsed.server, server) << args[0];
    EXPECT_EQ(parsed.code, code) << args[0];
  }

  EXPECT_EQ(CLI::quickAssistMessage("join_failed: x"),
            "Code ungültig oder abgelaufen — oder der Server ist nicht erreichbar. Bitte Code prüfen und erneut "
            "versuchen.");
  EXPECT_EQ(CLI::quickAssistMessage("capture_failed"), "Verbindung fehlgeschlagen (capture_failed).");
}

TEST(QuickAssistCommand, JoinRepliesOnlyA201WithEveryFieldCounts) {
  auto join = QuickAssistClient::parseJoin(
      201, R"({"session_id":"s","client_token":"t","gateway_url":"wss://gw/x","indicator_required":"yes"})");
  ASSERT_TRUE(join);
  EXPECT_EQ(join->gatewayURL, "wss://gw/x");
  EXPECT_TRUE(join->recordingRequired);  // missing counts as true
  EXPECT_TRUE(join->indicatorRequired);  // so does a non-boolean
  EXPECT_FALSE(QuickAssistClient::parseJoin(201, R"({"session_id":"s","client_token":"t","gateway_url":"wss://g",
                                                      "recording_required":false})")
                   ->recordingRequired);

  EXPECT_EQ(QuickAssistClient::parseJoin(201, "[1]").error().message, "join HTTP 201: [1]");
  EXPECT_EQ(QuickAssistClient::parseJoin(500, "\xff\xfe").error().message, "join HTTP 500: ");
  for (const char* body : {R"({"client_token":"t","gateway_url":"wss://g"})",
                           R"({"session_id":"s","client_token":"t","gateway_url":"not a url"})"}) {
    EXPECT_EQ(QuickAssistClient::parseJoin(201, body).error().message, "join response missing fields") << body;
  }
}

}  // namespace
}  // namespace vela
