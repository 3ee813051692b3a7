// The setup, provision and provision-name commands, run as the built binary.

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <filesystem>

#include "config/agent_config.h"
#include "config/filename_provisioning.h"
#include "platform/file_io.h"
#include "support/background_process.h"
#include "support/build_paths.h"
#include "support/pty_driver.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::PtyDriver;
using testing::runAgent;
using testing::TempDir;
using Env = std::map<std::string, std::optional<std::string>>;

// A private state directory and none of the test's own provisioning variables.
Env isolated(const TempDir& state) {
  Env env = {{"VELA_STATE_DIR", state.path()}, {"VELA_LOG_FILE", std::nullopt}};
  for (const char* name : {"VELA_TENANT", "VELA_TENANT_ID", "VELA_CUSTOMER", "VELA_CUSTOMER_ID", "VELA_SERVER",
                           "VELA_SERVER_URL", "VELA_TOKEN", "VELA_ENROLL_TOKEN", "VELA_CHANNEL"}) {
    env[name] = std::nullopt;
  }
  return env;
}

AgentConfig storedConfig(const TempDir& state) {
  auto config = AgentConfig::decode(testing::readFileOrEmpty(state.file("config.json")));
  EXPECT_TRUE(config) << (config ? "" : config.error().message);
  return config.value_or(AgentConfig{});
}

const std::string kServerPrompt = "Server base URL (e.g. https://rmm.example.com): ";

// Beating the environment is the setup wizard's precedence test.
TEST(ProvisionCommandTest, FlagsBeatThePackageNameAndATerminalIsNeverPrompted) {
  TempDir state;
  std::string blob = FilenameProvisioning::encodeBlobFilename("VelaAgent", "pkg", "BLOB", "C-blob", "blob.example",
                                                              "K", "beta");
  auto run = runAgent({"provision", "--from-package", "/media/usb/" + blob, "--from-name", "VelaAgent__tenant-NO",
                       "--tenant=FLAG", "--token", "T"},
                      isolated(state));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Provisioned tenant=FLAG customer=C-blob server=https://blob.example\n");
  EXPECT_THAT(run.err,
              HasSubstr("INFO: Provisioned: server=https://blob.example tenant=FLAG customer=C-blob\n"));
  AgentConfig expected;
  expected.serverBaseURL = "https://blob.example";
  expected.tenantID = "FLAG";
  expected.customerID = "C-blob";
  expected.enrollmentToken = "T";
  expected.channel = "beta";
  EXPECT_EQ(storedConfig(state), expected);

  // Without a token anywhere provisioning fails, and never prompts on a terminal.
  TempDir empty;
  PtyDriver pty(testing::agentExe(), {"provision", "--server", "cp.example", "--tenant", "A"}, isolated(empty));
  ASSERT_TRUE(pty.started());
  EXPECT_EQ(pty.wait(), 1);
  EXPECT_THAT(pty.transcript(),
              HasSubstr("error: missing required setting: One-time enrollment token. set it in the "
                        "filename (token-\u2026), env VELA_TOKEN, or `--token`, or run `vela-agent "
                        "setup` interactively.\r\n"));
  EXPECT_THAT(pty.transcript(), Not(HasSubstr("Enter to skip")));
}

// What an installer does with nothing but its own package name.
TEST(ProvisionCommandTest, APackageNameAloneProvisionsWhatStatusShows) {
  TempDir state;
  auto run = runAgent({"provision", "--from-name", "VelaAgent__tenant-ACME__customer-1234__server-cp.example.pkg",
                       "--token", "T"},
                      isolated(state));
  ASSERT_EQ(run.status, 0) << run.err;
  auto status = runAgent({"status"}, isolated(state));
  ASSERT_EQ(status.status, 0) << status.err;
  EXPECT_THAT(status.out,
              HasSubstr("  server:      https://cp.example\n  tenant:      ACME\n  customer:    1234\n"));
}

// A whole provisioning document, trust included, as a headless install passes it; the
// command line's own options still win. The document names the server and token, so
// one that another user could have changed is refused like the daemon's sidecar.
TEST(ProvisionCommandTest, FromFileWritesTheConfigurationAndPinnedTrustOwnerOnly) {
  TempDir state;
  TempDir docs;
  const std::string document = docs.file("provisioning.json");
  testing::writeFile(document, R"({"server": "cp.example", "tenant": "T", "customer": "C", "token": "TOK",
      "channel": "beta", "caPem": "PEM\n", "commandPubkey": "CK", "updatePubkey": "UK", "spkiPins": ["p1", "p2"]})");
  ::chmod(document.c_str(), 0600);
  auto run = runAgent({"provision", "--from-file", document, "--customer", "FLAG"}, isolated(state));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Provisioned tenant=T customer=FLAG server=https://cp.example\nPinned trust written to " +
                         state.file("pinned") + "\n");
  AgentConfig expected;
  expected.serverBaseURL = "https://cp.example";
  expected.tenantID = "T";
  expected.customerID = "FLAG";
  expected.enrollmentToken = "TOK";
  expected.channel = "beta";
  EXPECT_EQ(storedConfig(state), expected);
  const std::pair<const char*, const char*> pinned[] = {
      {"ca.pem", "PEM\n"}, {"command_pubkey.b64", "CK"}, {"update_pubkey.b64", "UK"}, {"spki_pins.txt", "p1\np2"}};
  for (const auto& [name, content] : pinned) {
    EXPECT_EQ(testing::readFileOrEmpty(state.file("pinned/") + name), content) << name;
    EXPECT_EQ(platform::fileMode(state.file("pinned/") + name).value_or(0), 0600u) << name;
  }
  EXPECT_EQ(platform::fileMode(state.file("pinned")).value_or(0), 0700u);
  EXPECT_EQ(platform::fileMode(state.file("config.json")).value_or(0), 0600u);

  // Refused documents leave the state directory untouched.
  TempDir untouched;
  auto refused = [&](const std::string& path) {
    auto failed = runAgent({"provision", "--from-file", path}, isolated(untouched));
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(std::filesystem::is_empty(untouched.path())) << path;
    return failed.err;
  };
  ::chmod(document.c_str(), 0666);
  EXPECT_EQ(refused(document), "error: " + document + " is writable by group or others\n");
  testing::writeFile(docs.file("broken.json"), "{\n  \"server\": \"cp.example\"\n  \"token\": \"TOK\"\n}");
  EXPECT_EQ(refused(docs.file("broken.json")),
            "error: " + docs.file("broken.json") +
                ": the data is not valid JSON (line 3, column 9: unexpected string literal; expected '}')\n");
  EXPECT_EQ(refused(docs.file("absent.json")), "error: " + docs.file("absent.json") + ": No such file or directory\n");
}

TEST(ProvisionNameCommandTest, BlobAndReadableNames) {
  TempDir state;
  auto run = runAgent({"provision-name", "--tenant", "ACME", "--server", "cp.example/", "--token", "T"}, isolated(state));
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(run.out.ends_with(".pkg\n"));
  EXPECT_EQ(FilenameProvisioning::parse(run.out.substr(0, run.out.size() - 1)),
            (ProvisioningInfo{"ACME", {}, "https://cp.example", "T", {}, "filename-blob"}));

  run = runAgent({"provision-name", "--readable", "--prefix", "Acme", "--ext=", "--tenant", "A", "--server",
                  "http://cp.example", "--token", "secret", "--channel", "beta"},
                 isolated(state));
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Acme__tenant-A__channel-beta\n");
}

TEST(SetupCommandTest, InteractiveSetupOnARealTerminal) {
  TempDir state;
  PtyDriver pty(testing::agentExe(), {"setup", "--channel", "beta"}, isolated(state));
  ASSERT_TRUE(pty.started());
  const std::string again = "  \u21b3 required.\r\n";
  ASSERT_TRUE(pty.expect(kServerPrompt)) << pty.transcript();
  pty.type("\n");
  ASSERT_TRUE(pty.expect(again + kServerPrompt)) << pty.transcript();
  pty.type("http://cp.example\n");
  ASSERT_TRUE(pty.expect("refusing non-https server URL 'http://cp.example' (only https is allowed)"));
  ASSERT_TRUE(pty.expect(again + kServerPrompt)) << pty.transcript();
  pty.type("cp.example/\n");
  ASSERT_TRUE(pty.expect("Tenant ID (optional, Enter to skip): "));
  pty.type("  ACME \n");
  ASSERT_TRUE(pty.expect("Customer/site ID (optional, Enter to skip): "));
  pty.type("\n");
  ASSERT_TRUE(pty.expect("One-time enrollment token: "));
  pty.type("TOKEN-1\n");
  ASSERT_TRUE(pty.expect("Configuration written to " + state.file("config.json") +
                         "\r\n  server:   https://cp.example\r\n  tenant:   ACME\r\n  customer: -\r\n"
                         "  channel:  beta\r\n\r\nNext: run `vela-agent enroll` (or install the daemon) to register.\r\n"))
      << pty.transcript();
  EXPECT_EQ(pty.wait(), 0);
  // The rest of what is saved is shown above.
  EXPECT_EQ(storedConfig(state).enrollmentToken, "TOKEN-1");
}

TEST(SetupCommandTest, EndOfInputEndsWithTheMissingSettingError) {
  TempDir state;
  PtyDriver pty(testing::agentExe(), {"setup"}, isolated(state));
  ASSERT_TRUE(pty.started());
  ASSERT_TRUE(pty.expect(kServerPrompt));
  pty.typeEndOfInput();
  EXPECT_EQ(pty.wait(), 1);
  EXPECT_THAT(pty.transcript(),
              HasSubstr("error: missing required setting: Server base URL (e.g. "
                        "https://rmm.example.com). set it in the filename (server-\u2026), env "
                        "VELA_SERVER, or `--server`, or run `vela-agent setup` interactively.\r\n"));
  EXPECT_EQ(testing::readFileOrEmpty(state.file("config.json")), "");

  // At an optional prompt it only skips that setting.
  PtyDriver skipping(testing::agentExe(), {"setup", "--server", "cp.example"}, isolated(state));
  ASSERT_TRUE(skipping.started());
  for (const char* prompt : {"Tenant ID (optional, Enter to skip): ", "Customer/site ID (optional, Enter to skip): ",
                             "One-time enrollment token: "}) {
    ASSERT_TRUE(skipping.expect(prompt)) << skipping.transcript();
    skipping.typeEndOfInput();
  }
  EXPECT_EQ(skipping.wait(), 1);
  EXPECT_THAT(skipping.transcript(),
              HasSubstr("error: missing required setting: One-time enrollment token."));
}

TEST(SetupCommandTest, NonInteractiveRerunOnAnEnrolledDeviceAndEnrolment) {
  TempDir state;
  AgentConfig enrolled;
  enrolled.serverBaseURL = "https://127.0.0.1:9";
  enrolled.agentID = "agent-7";
  enrolled.tenantID = "T";
  enrolled.customerID = "C";
  testing::writeFile(state.file("config.json"), enrolled.jsonData());

  auto run = runAgent({"setup", "-y"}, isolated(state));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, Not(HasSubstr("WARN")));
  EXPECT_EQ(storedConfig(state), enrolled);

  // Enrolment is handed over only after the configuration is saved.
  run = runAgent({"setup", "-y", "--enroll", "--tenant", "T2"}, isolated(state));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(storedConfig(state).tenantID, "T2");
}

}  // namespace
}  // namespace vela
