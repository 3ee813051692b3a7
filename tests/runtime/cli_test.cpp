#include "runtime/cli.h"

#include <gmock/gmock.h>

#include <filesystem>

#include "runtime/command_usage.h"
#include "support/background_process.h"

namespace vela {
namespace {

using CLI::Args;

const std::string kUsage =
    "VELA RMM Agent 0.1.0\n"
    "\n"
    "USAGE: vela-agent <command> [options]\n"
    "\n"
    "COMMANDS:\n"
    "  setup            Interactive provisioning (+ optional --enroll)\n"
    "  provision        Non-interactive provisioning from binary/package name\n"
    "                   (--from-package <path> | --from-name <name>)\n"
    "  enroll           Enroll this device with the control plane\n"
    "  run              Run the daemon loop (systemd)\n"
    "  once             One heartbeat + command-poll + update-check cycle\n"
    "  status           Print configuration / enrollment / certificate status\n"
    "  doctor           Preflight checks (config, pinned trust, identity)\n"
    "  update [--apply] Check (or apply) a signed self-update\n"
    "  inventory        Print the inventory snapshot as JSON\n"
    "  metrics          Print the current metric sample set\n"
    "  provision-name   Build the recommended deploy filename (--tenant \xE2\x80\xA6 --customer \xE2\x80\xA6)\n"
    "  reset            Remove device key, certificate, config, replay state\n"
    "  version          Print the agent version\n"
    "\n"
    "PROVISIONING (tenant/customer by filename):\n"
    "  The agent reads its own (package) filename to learn which tenant/customer\n"
    "  to register to. Two conventions:\n"
    "    1) Blob:     VelaAgent.<base64url-json>.pkg          (carries everything)\n"
    "    2) Readable: VelaAgent__tenant-ACME__customer-1234.pkg\n"
    "  Missing fields fall back to env (VELA_TENANT/VELA_CUSTOMER/VELA_SERVER/\n"
    "  VELA_TOKEN/VELA_CHANNEL), then the interactive setup.\n"
    "\n"
    "GLOBAL OPTIONS:\n"
    "  --server URL   --tenant ID   --customer ID   --token TOKEN\n"
    "  --channel NAME  --non-interactive/-y   --verbose/-v\n";

// Exact texts and exit codes of the entry point; the verbosity switch is removed once
// ("--verbose" before "-v").
TEST(CLIEntryTest, VersionHelpUsageAndErrorsPrintExactTexts) {
  const std::tuple<Args, int, std::string, std::string> cases[] = {
      {{"version"}, 0, "0.1.0\n", ""},
      {{"help"}, 0, kUsage, ""},
      {{"Status"}, 1, kUsage, "unknown command: Status\n"},  // matching is case-sensitive
      {{}, 1, kUsage, ""},
      {{"-v"}, 1, kUsage, ""},
      {{"--verbose", "-v"}, 1, kUsage, "unknown command: -v\n"},
  };
  for (const auto& [args, status, out, err] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    auto r = testing::runAgent(args);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
  }
}

TEST(CLIOptionsTest, RemoveOption) {
  for (auto [args, value, rest] : std::vector<std::tuple<Args, std::optional<std::string>, Args>>{
           {{"--server"}, std::nullopt, {}},
           {{"--server=A", "--server", "B"}, "A", {"--server", "B"}},
           {{"--server", "--tenant", "C"}, "--tenant", {"C"}},
           {{"x", "--server="}, "", {"x"}},
           {{"--servers", "--server-x=1"}, std::nullopt, {"--servers", "--server-x=1"}}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(CLI::removeOption(args, "--server"), value);
    EXPECT_EQ(args, rest);
  }
}

// Everything below a directory, with each file's bytes: what "nothing changed" means.
std::map<std::string, std::string> contents(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    files[entry.path().string()] = entry.is_regular_file() ? testing::readFileOrEmpty(entry.path().string()) : "";
  }
  return files;
}

// Every command word answers --help with its own usage and refuses a word it does not
// take, and neither touches the state directory; a configured agent must stay exactly
// as it was.
TEST(CLICommandLineTest, HelpAndStrayArgumentsDoNothing) {
  testing::TempDir state;
  testing::writeFile(state.file("config.json"), R"({"serverBaseURL":"https://cp.example","agentID":"a-1"})");
  const testing::Environment env{{"VELA_STATE_DIR", state.path()}, {"DISPLAY", std::nullopt}};
  const auto before = contents(state.path());
  for (const CLI::CommandForm& form : CLI::commandForms()) {
    for (std::string_view word : form.words) {
      SCOPED_TRACE(std::string(word));
      const std::string w(word);
      if (w != "help" && w != "--help" && w != "-h") {
        auto help = testing::runAgent({w, "--help"}, env);
        EXPECT_EQ(help.status, 0) << help.err;
        EXPECT_EQ(help.out, CLI::commandUsage(form));
        EXPECT_EQ(testing::runAgent({"-v", w, "-h"}, env).out, help.out);
      }
      auto stray = testing::runAgent({w, "--aply"}, env);
      EXPECT_EQ(stray.status, 1);
      EXPECT_EQ(stray.out, "");
      EXPECT_EQ(stray.err, "error: unexpected argument: --aply\n");
      EXPECT_EQ(contents(state.path()), before);
    }
  }
  // An option's value may look like a switch, as the handlers read it.
  EXPECT_THAT(testing::runAgent({"provision-name", "--tenant", "--help", "--customer", "c"}, env).out,
              ::testing::StartsWith("VelaAgent."));
  EXPECT_EQ(testing::runAgent({"status", "extra"}, env).err, "error: unexpected argument: extra\n");
  EXPECT_EQ(testing::runAgent({"quick-assist", "123", "456"}, env).err, "error: unexpected argument: 456\n");
  // A second verbosity switch is taken and means nothing more, unless it is a value.
  EXPECT_EQ(testing::runAgent({"--verbose", "version", "-v"}, env).out, "0.1.0\n");
  EXPECT_THAT(testing::runAgent({"-v", "provision-name", "-v", "--tenant", "t", "--customer", "c", "--prefix", "-v"}, env).out,
              ::testing::StartsWith("-v."));

  // Without a terminal, reset wants --yes and removes nothing without it.
  auto refused = testing::runAgent({"uninstall"}, env);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "error: reset removes the device key, certificate and configuration; run it on a terminal to "
            "confirm, or pass --yes\n");
  EXPECT_EQ(contents(state.path()), before);
  auto reset = testing::runAgent({"reset", "--yes"}, env);
  EXPECT_EQ(reset.status, 0) << reset.err;
  EXPECT_FALSE(std::filesystem::exists(state.file("config.json")));
}

}  // namespace
}  // namespace vela
