#include "runtime/cli.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>

#include "config/agent_paths.h"
#include "desktop/desktop_services.h"
#include "platform/file_io.h"
#include "platform/instance_lock.h"
#include "runtime/command_handlers.h"
#include "runtime/command_usage.h"
#include "util/agent_version.h"
#include "util/log.h"
#include "util/process_info.h"

namespace vela::CLI {
namespace {

constexpr std::string_view kUsageBlock =
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
    "  provision-name   Build the recommended deploy filename (--tenant \u2026 --customer \u2026)\n"
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

void writeOut(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

using Handler = std::function<Result<int>(Args)>;

Result<int> helpCommand(Args args) {
  if (args.empty()) {
    printUsage();
    return 0;
  }
  const CommandForm* form = findCommand(args.front());
  if (!form) {
    writeOut(STDERR_FILENO, "unknown command: " + args.front() + "\n");
    printUsage();
    return 1;
  }
  writeOut(STDOUT_FILENO, commandUsage(*form));
  return 0;
}

// By the first word of each command's form.
const std::map<std::string_view, Handler>& handlers() {
  static const std::map<std::string_view, Handler> table = {
      {"setup", setupCommand},
      {"provision", provisionCommand},
      {"enroll", enrollCommand},
      {"run", runCommand},
      {"once", onceCommand},
      {"gateway", gatewayCommand},
      {"desktop-probe", desktopProbeCommand},
      {"desktop-agent", [](Args) { return desktopAgentCommand(); }},
      {"quick-assist", quickAssistCommand},
      {"status", statusCommand},
      {"doctor", doctorCommand},
      {"update", updateCommand},
      {"inventory", [](Args) { return inventoryCommand(); }},
      {"metrics", [](Args) { return metricsCommand(); }},
      {"provision-name", provisionNameCommand},
      {"reset", resetCommand},
      {"version", versionCommand},
      {"help", helpCommand},
  };
  return table;
}

// The commands that act for the state directory's agent: one at a time.
bool takesStateLock(const CommandForm& form) {
  // reset too: it must not pull the identity from under a running daemon.
  static constexpr std::string_view kLocked[] = {"run", "once", "gateway", "reset"};
  return std::ranges::find(kLocked, form.words.front()) != std::end(kLocked);
}

Result<platform::InstanceLock> lockStateDir() {
  const std::string dir = VELA_TRY(AgentPaths::ensureStateDir());
  auto lock = VELA_TRY(platform::InstanceLock::acquire(dir));
  // Whatever a killed predecessor said about itself is not true of this process.
  (void)platform::removeFile(AgentPaths::runtimeStatusFile());
  return lock;
}

}  // namespace

std::string usageText() {
  return std::string(AgentVersion::banner) + "\n" + std::string(kUsageBlock);
}

void printUsage() { writeOut(STDOUT_FILENO, usageText()); }

bool removeFlag(Args& args, std::string_view word) {
  auto it = std::find(args.begin(), args.end(), word);
  if (it == args.end()) return false;
  args.erase(it);
  return true;
}

std::optional<std::string> removeOption(Args& args, std::string_view name) {
  std::string prefix = std::string(name) + "=";
  for (auto it = args.begin(); it != args.end(); ++it) {
    if (*it == name) {
      if (std::next(it) == args.end()) {
        args.erase(it);
        return std::nullopt;
      }
      std::string value = *std::next(it);
      args.erase(it, std::next(it, 2));
      return value;
    }
    if (it->starts_with(prefix)) {
      std::string value = it->substr(prefix.size());
      args.erase(it);
      return value;
    }
  }
  return std::nullopt;
}

std::pair<SetupWizard::Flags, Args> flags(Args args, bool interactiveDefault) {
  SetupWizard::Flags f;
  bool switchGiven = removeFlag(args, "--non-interactive") || removeFlag(args, "-y");
  f.serverBaseURL = removeOption(args, "--server");
  f.tenantID = removeOption(args, "--tenant");
  f.customerID = removeOption(args, "--customer");
  f.enrollmentToken = removeOption(args, "--token");
  f.channel = removeOption(args, "--channel");
  f.nonInteractive = switchGiven || !interactiveDefault;
  return {std::move(f), std::move(args)};
}

int main(Args arguments) {
  if (!arguments.empty() && (removeFlag(arguments, "--verbose") || removeFlag(arguments, "-v"))) {
    Log::verbose = true;
  }
  if (arguments.empty() && ProcessInfo::insideAppBundle()) arguments = {"run"};
  if (arguments.empty()) {
    printUsage();
    return 1;
  }
  const std::string word = arguments.front();
  // Started only by the agent itself, so it is neither listed nor checked as a command.
  if (word == kWindowHostCommand) return windowHostCommand();
  Args rest(std::next(arguments.begin()), arguments.end());
  const CommandForm* form = findCommand(word);
  if (!form) {
    writeOut(STDERR_FILENO, "unknown command: " + word + "\n");
    printUsage();
    return 1;
  }
  auto failed = [](const AgentError& error) {
    writeOut(STDERR_FILENO, std::string(Log::standardErrorPrefix(Log::Level::error)) + "error: " +
                                Log::escapeControlCharacters(error.description()) + "\n");
    return 1;
  };
  // "--help" on the command word itself is the general usage.
  if (form->words.front() != "help" && asksForHelp(*form, rest)) {
    writeOut(STDOUT_FILENO, commandUsage(*form));
    return 0;
  }
  if (auto extra = unexpectedArgument(*form, rest)) {
    return failed(AgentError("unexpected argument: " + *extra));
  }
  // A second verbosity switch is accepted, and means nothing more.
  rest = withoutVerbosity(*form, std::move(rest));
  std::optional<platform::InstanceLock> lock;
  if (takesStateLock(*form)) {
    auto locked = lockStateDir();
    if (!locked) return failed(locked.error());
    lock.emplace(std::move(*locked));
  }
  Result<int> status = handlers().at(form->words.front())(std::move(rest));
  if (!status) return failed(status.error());
  return *status;
}

}  // namespace vela::CLI
