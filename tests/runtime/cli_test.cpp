#include "runtime/cli.h"

#include <gtest/gtest.h>

#include "support/background_process.h"
#include "support/temp_dir.h"

namespace vela {
namespace {

using CLI::Args;
using testing::runAgent;

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

TEST(CLIEntryTest, VersionHelpAndUnknownCommandsPrintExactTexts) {
  for (const char* word : {"version", "--version"}) {
    auto r = runAgent({word});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0.1.0\n");
    EXPECT_EQ(r.err, "");
  }
  for (const char* word : {"help", "--help", "-h"}) {
    auto r = runAgent({word});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
  }
  auto unknown = runAgent({"Status"});  // matching is case-sensitive
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "unknown command: Status\n");
  EXPECT_EQ(unknown.out, kUsage);
}

TEST(CLIEntryTest, NoCommandOrOnlyTheSwitchPrintsUsageAndFails) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-v"}, {"--verbose"}}) {
    auto r = runAgent(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
  }
}

TEST(CLIEntryTest, VerbositySwitchIsFoundAnywhereAndRemovedOnce) {
  // "--verbose" wins over "-v"; the remaining "-v" reaches no command, so "-v" alone is
  // an unknown command word here.
  auto r = runAgent({"--verbose", "-v"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "unknown command: -v\n");
  auto trailing = runAgent({"version", "--verbose"});
  EXPECT_EQ(trailing.status, 0);
  EXPECT_EQ(trailing.out, "0.1.0\n");
}

TEST(CLIEntryTest, HandlerErrorsArePrefixedAndExitOne) {
  testing::ScopedStateDir state;
  auto r = runAgent({"update"}, {{"VELA_STATE_DIR", state.path()}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.back(), '\n');
}

TEST(RemoveOptionTest, ValueFormsAndFirstMatchOnly) {
  Args lone = {"--server"};
  EXPECT_EQ(CLI::removeOption(lone, "--server"), std::nullopt);
  EXPECT_TRUE(lone.empty());

  Args eq = {"--server=A", "--server", "B"};
  EXPECT_EQ(CLI::removeOption(eq, "--server"), "A");
  EXPECT_EQ(eq, (Args{"--server", "B"}));

  Args dashValue = {"--server", "--tenant", "C"};
  EXPECT_EQ(CLI::removeOption(dashValue, "--server"), "--tenant");
  EXPECT_EQ(dashValue, (Args{"C"}));

  Args emptyValue = {"x", "--token="};
  EXPECT_EQ(CLI::removeOption(emptyValue, "--token"), "");
  EXPECT_EQ(emptyValue, (Args{"x"}));

  Args prefixOnly = {"--servers", "y", "--server-x=1"};
  EXPECT_EQ(CLI::removeOption(prefixOnly, "--server"), std::nullopt);
  EXPECT_EQ(prefixOnly.size(), 3u);
}

TEST(FlagsTest, ParsesGlobalOptionsAndKeepsTheRest) {
  auto [f, rest] = CLI::flags({"--enroll", "--server", "https://a", "--tenant=T", "--customer", "C",
                               "--token", "K", "--channel", "beta", "-y"},
                              true);
  EXPECT_EQ(f.serverBaseURL, "https://a");
  EXPECT_EQ(f.tenantID, "T");
  EXPECT_EQ(f.customerID, "C");
  EXPECT_EQ(f.enrollmentToken, "K");
  EXPECT_EQ(f.channel, "beta");
  EXPECT_TRUE(f.nonInteractive);
  EXPECT_EQ(rest, (Args{"--enroll"}));
}

TEST(FlagsTest, NonInteractiveSwitchAndDefault) {
  auto [both, rest] = CLI::flags({"--non-interactive", "-y"}, true);
  EXPECT_TRUE(both.nonInteractive);
  EXPECT_EQ(rest, (Args{"-y"}));

  auto [none, rest2] = CLI::flags({}, true);
  EXPECT_FALSE(none.nonInteractive);
  auto [defaulted, rest3] = CLI::flags({}, false);
  EXPECT_TRUE(defaulted.nonInteractive);
  EXPECT_FALSE(defaulted.serverBaseURL.has_value());
}

}  // namespace
}  // namespace vela
