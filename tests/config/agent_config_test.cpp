#include "config/agent_config.h"

#include <gmock/gmock.h>

#include <filesystem>

#include "config/agent_paths.h"
#include "config/provisioning_payload.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"
#include "util/text_position.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::ScopedStateDir;

const char* kMinimal = R"({
  "serverBaseURL": "https://cp.example",
  "channel": "stable",
  "metricsIntervalSeconds": 60, "heartbeatIntervalSeconds": 60,
  "commandPollIntervalSeconds": 15, "updateCheckIntervalSeconds": 3600,
  "inventoryIntervalSeconds": 86400, "verbose": false, "commandSkewSeconds": 300,
  "allowRunScript": true, "allowPowerCommands": true, "unknownKey": [1, 2]
})";

TEST(AgentConfigTest, BaseURLNormalisation) {
  AgentConfig c;
  c.serverBaseURL = "\u3000 https://cp.example.com/base///\n\u00a0\u2028";
  EXPECT_EQ(c.baseURL(), "https://cp.example.com/base");
  c.serverBaseURL = "HTTPS://cp.example.com";
  EXPECT_EQ(c.baseURL(), "HTTPS://cp.example.com");
  for (const char* bad : {"http://cp.example.com", "", "   ", "cp.example.com", "https://",
                          "https://exa mple.com"}) {
    c.serverBaseURL = bad;
    EXPECT_EQ(c.baseURL(), std::nullopt) << bad;
  }
}

TEST(AgentConfigTest, SaveWritesSortedPrettyJSONWithoutAbsentKeysAndEveryFieldRoundTrips) {
  ScopedStateDir state;
  AgentConfig c;
  c.serverBaseURL = "https://cp.example/api";
  c.customerID = "1234";
  ASSERT_TRUE(c.save());
  std::string text = testing::readFileOrEmpty(state.file("config.json"));
  EXPECT_THAT(text, Not(HasSubstr("tenantID")));
  // The transfer switches are written only when off: a file from before them keeps its bytes.
  EXPECT_THAT(text, Not(HasSubstr("allowFileTransfer")));
  EXPECT_THAT(text, Not(HasSubstr("allowClipboard")));
  EXPECT_LT(text.find("\"allowPowerCommands\""), text.find("\"allowRunScript\""));
  EXPECT_THAT(text, HasSubstr("\n  \"channel\": \"stable\",\n"));
  EXPECT_EQ(AgentConfig::load().value(), c);

  c = {.serverBaseURL = "https://h", .tenantID = "t", .customerID = "c", .enrollmentToken = "tok",
       .channel = "beta", .agentID = "", .certFingerprint = "ab",
       .certNotAfter = "2027-01-01T00:00:00Z", .deviceToken = "dt", .metricsIntervalSeconds = 1,
       .heartbeatIntervalSeconds = 2, .commandPollIntervalSeconds = 3,
       .updateCheckIntervalSeconds = 4, .inventoryIntervalSeconds = 5, .verbose = true,
       .commandSkewSeconds = -6, .allowRunScript = false, .allowPowerCommands = false,
       .allowFileTransfer = false, .allowClipboard = false, .quickAssist = true, .recordingMaxAgeSeconds = 7,
       .recordingMaxTotalBytes = 0};
  ASSERT_TRUE(c.save());
  EXPECT_THAT(testing::readFileOrEmpty(state.file("config.json")), HasSubstr("\"allowFileTransfer\": false"));
  EXPECT_EQ(AgentConfig::load().value(), c);
}

TEST(AgentConfigTest, DecodeIsStrictOnRequiredKeysAndLenientOnNulls) {
  auto ok = AgentConfig::decode(kMinimal);
  ASSERT_TRUE(ok) << ok.error().message;
  EXPECT_FALSE(ok->tenantID.has_value());
  auto edited = [](const std::string& from, const std::string& to) {
    std::string text = kMinimal;
    return AgentConfig::decode(text.replace(text.find(from), from.size(), to));
  };
  EXPECT_FALSE(edited("{", "{\"tenantID\": null,").value().tenantID.has_value());
  // The transfer switches came later: a file without them keeps both on.
  EXPECT_TRUE(ok->allowFileTransfer && ok->allowClipboard);
  EXPECT_FALSE(edited("{", "{\"allowFileTransfer\": false,").value().allowFileTransfer);
  EXPECT_FALSE(edited("{", "{\"allowClipboard\": \"no\",").has_value());

  const std::string skew = "\"commandSkewSeconds\": 300";
  auto failure = [](const Result<AgentConfig>& decoded) { return decoded ? "decoded" : decoded.error().message; };
  EXPECT_EQ(failure(edited(skew + ",", "")), "config.json: missing key \"commandSkewSeconds\"");
  EXPECT_EQ(failure(edited("\"verbose\": false", "\"verbose\": \"no\"")),
            "config.json: key \"verbose\" is not a boolean");
  EXPECT_EQ(failure(edited(skew, "\"commandSkewSeconds\": 1.5")),
            "config.json: key \"commandSkewSeconds\" is not an integer");
  // Null is no value for a required key, but the key is there: it has the wrong type.
  EXPECT_EQ(failure(edited("\"channel\": \"stable\"", "\"channel\": null")),
            "config.json: key \"channel\" is not a string");
  // Found by fuzzing: above the signed range an interval wrapped to a negative one.
  auto wrapped = edited(skew, "\"commandSkewSeconds\": 18446744073709551615");
  ASSERT_FALSE(wrapped);
  EXPECT_EQ(wrapped.error().message, "config.json: key \"commandSkewSeconds\" is not a 64-bit integer");
  EXPECT_EQ(edited(skew, "\"commandSkewSeconds\": 9223372036854775807").value().commandSkewSeconds, INT64_MAX);
  EXPECT_FALSE(AgentConfig::decode("{\"serverBaseURL\": "));

  // The recording limits are optional, older files lack them; when given they are typed.
  EXPECT_EQ(ok->recordingMaxAgeSeconds, std::nullopt);
  EXPECT_EQ(edited("{", "{\"recordingMaxTotalBytes\": 1048576,").value().recordingMaxTotalBytes, 1048576);
  EXPECT_EQ(edited("{", "{\"recordingMaxAgeSeconds\": null,").value().recordingMaxAgeSeconds, std::nullopt);
  auto text = edited("{", "{\"recordingMaxAgeSeconds\": \"30d\",");
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().message, "config.json: key \"recordingMaxAgeSeconds\" is not an integer");
}

// A person edits config.json by hand; the error says where the edit went wrong, counting
// characters as an editor does, and never repeats what the file says there.
TEST(AgentConfigTest, UnparseableConfigurationNamesLineAndColumnButNotItsContent) {
  auto error = [](const std::string& text) {
    auto decoded = AgentConfig::decode(text);
    return decoded ? std::string("decoded") : decoded.error().message;
  };
  EXPECT_EQ(error("{\n  \"serverBaseURL\": \"https://cp\",\n  \"channel\": \"stable\"\n  \"verbose\": true\n}"),
            "config.json: the data is not valid JSON (line 4, column 11: unexpected string literal; expected '}')");
  EXPECT_EQ(error("{\"tenantID\": \"Z\u00fcrich\" }}"),
            "config.json: the data is not valid JSON (line 1, column 24: unexpected '}'; expected end of input)");
  EXPECT_EQ(error("{\n  \"serverBaseURL\": "),
            "config.json: the data is not valid JSON (line 2, column 20: unexpected end of input; expected '[', "
            "'{', or a literal)");
  EXPECT_EQ(error(""), "config.json: the data is not valid JSON (line 1, column 1: unexpected end of input; "
                       "expected '[', '{', or a literal)");
  // An unterminated string runs into the line's end; the token in it stays out.
  const std::string token = error("{\n\"enrollmentToken\": \"SECRET-1\n\"}");
  EXPECT_EQ(token, "config.json: the data is not valid JSON (line 2, column 29: invalid string: control character "
                   "U+000A (LF) must be escaped to \\u000A or \\n)");
  EXPECT_EQ(error("{\"verbose\": tru }"),
            "config.json: the data is not valid JSON (line 1, column 16: invalid literal)");
  EXPECT_EQ(error("{}\n x"), "config.json: the data is not valid JSON (line 2, column 2: invalid literal; expected "
                             "end of input)");
  // A number beyond any type stops the parser without a position (it once escaped as an
  // exception); the number itself stays out of the message.
  EXPECT_EQ(error("{\"heartbeatIntervalSeconds\": 4277771e37777777777777}"),
            "config.json: the data is not valid JSON (a number is out of range)");

  EXPECT_EQ(TextPosition::of("ab\ncd", 4), (TextPosition{2, 2}));
  EXPECT_EQ(TextPosition::of("ab\n", 99), (TextPosition{2, 1}));
  EXPECT_EQ(ProvisioningPayload::decode("[1,]", "/srv/p.json").error().message,
            "/srv/p.json: the data is not valid JSON (line 1, column 4: unexpected ']'; expected '[', '{', or a "
            "literal)");
}

TEST(AgentPathsTest, StateDirOverrideAndProtectedWrites) {
  ScopedStateDir state;
  std::string nested = state.path() + "/deeper/state";
  testing::ScopedEnv env("VELA_STATE_DIR", nested);
  EXPECT_EQ(AgentPaths::configFile(), nested + "/config.json");

  ASSERT_TRUE(AgentPaths::writeProtected("one", AgentPaths::configFile()));
  EXPECT_EQ(platform::fileMode(nested).value_or(0), 0700u);
  ASSERT_TRUE(AgentPaths::writeProtected("two", AgentPaths::configFile()));
  EXPECT_EQ(platform::fileMode(AgentPaths::configFile()).value_or(0), 0600u);
  EXPECT_EQ(testing::readFileOrEmpty(AgentPaths::configFile()), "two");
  // No temporary file left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(nested), {}), 1);
}

TEST(AgentPathsTest, UnusableStateDirReportsThePlatformError) {
  // A state directory below a regular file fails even for root.
  testing::TempDir dir;
  testing::writeFile(dir.file("plain"), "x");
  testing::ScopedEnv env("VELA_STATE_DIR", dir.file("plain") + "/state");
  auto r = AgentPaths::writeProtected("x", AgentPaths::configFile());
  ASSERT_FALSE(r);
  EXPECT_THAT(r.error().message, HasSubstr("Not a directory"));
}

TEST(AgentPathsTest, DefaultStateDirForAUserAndAnEmptyVariableMeansUnset) {
  testing::ScopedEnv empty("VELA_STATE_DIR", "");
  testing::ScopedEnv xdg("XDG_DATA_HOME", "/x/data");
  std::string withEmpty = AgentPaths::stateDir();
  testing::ScopedEnv noOverride("VELA_STATE_DIR", std::nullopt);
  EXPECT_EQ(withEmpty, AgentPaths::stateDir());
  EXPECT_EQ(AgentPaths::stateDir(), AgentPaths::isRoot() ? "/var/lib/vela-agent" : "/x/data/vela-agent");
  // A trailing slash names the same folder.
  testing::ScopedEnv slashed("VELA_STATE_DIR", "/x/state//");
  EXPECT_EQ(AgentPaths::configFile(), "/x/state/config.json");
}

// Recordings must outlive a reboot, so never the temporary directory; the state
// directory's override moves them too.
TEST(AgentPathsTest, RecordingsLiveInTheStateDirectoryOrTheUsersStateHome) {
  testing::ScopedEnv state("VELA_STATE_DIR", "/x/state/");
  EXPECT_EQ(AgentPaths::recordingsDir(), "/x/state/recordings");
  testing::ScopedEnv noOverride("VELA_STATE_DIR", std::nullopt);
  testing::ScopedEnv home("HOME", "/home/eva");
  testing::ScopedEnv relative("XDG_STATE_HOME", "state");  // not absolute: ignored
  if (AgentPaths::isRoot()) {
    EXPECT_EQ(AgentPaths::recordingsDir(), "/var/lib/vela-agent/recordings");
    return;
  }
  EXPECT_EQ(AgentPaths::recordingsDir(), "/home/eva/.local/state/vela-agent/recordings");
  testing::ScopedEnv xdg("XDG_STATE_HOME", "/x/xdg-state/");
  EXPECT_EQ(AgentPaths::recordingsDir(), "/x/xdg-state/vela-agent/recordings");
}

// Only a missing file means "not configured"; what a mistyped one does is the daemon's
// test.
TEST(AgentConfigTest, StoredConfigurationIsAbsentOnlyWhenTheFileIsMissing) {
  ScopedStateDir state;
  auto missing = AgentConfig::loadStored();
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing);
  EXPECT_EQ(AgentConfig::load().error().message,
            "not configured: " + state.file("config.json") +
                " is missing. Run `vela-agent setup` or deploy a provisioning-named binary.");

  // What the daemon refuses to run with, as status shows it.
  AgentConfig plain;
  plain.serverBaseURL = "http://cp.example";
  ASSERT_TRUE(plain.save());
  EXPECT_EQ(AgentConfig::load().value().serverProblem(),
            state.file("config.json") + ": \"serverBaseURL\" is not an https URL: \"http://cp.example\"");
  testing::writeFile(state.file("config.json"), "{,}");
  EXPECT_EQ(AgentConfig::loadStored().error().message,
            state.file("config.json") + " does not decode: config.json: the data is not valid JSON (line 1, column 2: "
                                        "unexpected ','; expected string literal)");
  plain.serverBaseURL = "https://cp.example";
  ASSERT_TRUE(plain.save());
  EXPECT_EQ(AgentConfig::load().value().serverProblem(), std::nullopt);
}

// Whoever plants pinned -> elsewhere must neither receive the agent's writes nor feed
// it trust material.
TEST(AgentPathsTest, PlantedLinkBelowTheStateDirIsNeverFollowed) {
  ScopedStateDir state;
  testing::TempDir elsewhere;
  std::filesystem::create_directory_symlink(elsewhere.path(), state.file("pinned"));
  testing::writeFile(elsewhere.file("ca.pem"), "planted");

  auto written = AgentPaths::writeProtected("x", AgentPaths::pinnedCACert());
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message, state.file("pinned") + " is a symbolic link");
  ProvisioningPayload payload;
  payload.server = "https://cp";
  payload.commandPubkey = "KEY";
  EXPECT_FALSE(payload.applyPinnedMaterial());
  EXPECT_EQ(testing::readFileOrEmpty(elsewhere.file("ca.pem")), "planted");
  EXPECT_FALSE(std::filesystem::exists(elsewhere.file("command_pubkey.b64")));
  EXPECT_FALSE(AgentPaths::readStateFile(AgentPaths::pinnedCACert()));

  // A link in place of the file itself is replaced, never written through or read.
  std::filesystem::remove(state.file("pinned"));
  std::filesystem::create_symlink(elsewhere.file("ca.pem"), state.file("config.json"));
  EXPECT_EQ(AgentPaths::readStateFile(state.file("config.json")).error().message,
            state.file("config.json") + " is a symbolic link");
  ASSERT_TRUE(AgentPaths::writeProtected("mine", state.file("config.json")));
  EXPECT_EQ(testing::readFileOrEmpty(elsewhere.file("ca.pem")), "planted");
  EXPECT_EQ(AgentPaths::readStateFile(state.file("config.json")).value(), "mine");
}

}  // namespace
}  // namespace vela
