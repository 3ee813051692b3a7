#include "runtime/command_usage.h"

#include <algorithm>

namespace vela::CLI {
namespace {

const OptionForm kServer{"--server", "URL", "Control-plane server"};
const OptionForm kTenant{"--tenant", "ID", "Tenant"};
const OptionForm kCustomer{"--customer", "ID", "Customer"};
const OptionForm kToken{"--token", "TOKEN", "One-time enrolment token"};
const OptionForm kChannel{"--channel", "NAME", "Update channel"};
const OptionForm kNonInteractive{"--non-interactive", "", "Never ask; fail when something is missing"};
const OptionForm kYes{"-y", "", "Same as --non-interactive"};
const OptionForm kJSON{"--json", "", "Print JSON (see vela-agent(8))"};

std::vector<OptionForm> provisioningOptions(std::vector<OptionForm> more) {
  std::vector<OptionForm> all{kServer, kTenant, kCustomer, kToken, kChannel, kNonInteractive, kYes};
  all.insert(all.end(), more.begin(), more.end());
  return all;
}

const OptionForm* findOption(const CommandForm& form, std::string_view word) {
  for (const OptionForm& option : form.options) {
    if (word == option.name) return &option;
  }
  return nullptr;
}

bool isHelp(std::string_view word) { return word == "-h" || word == "--help"; }
bool isVerbose(std::string_view word) { return word == "-v" || word == "--verbose"; }

// Walks the arguments as the handlers' option parsing reads them: an option that takes
// a value swallows the next word whatever it looks like. Returns the first word that
// fits nothing; `help` says whether a help switch stood outside any value.
std::optional<std::string> scan(const CommandForm& form, const std::vector<std::string>& args, bool& help,
                                std::vector<std::size_t>* verbosity = nullptr) {
  help = false;
  int positionals = 0;
  std::optional<std::string> unexpected;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (isHelp(word)) {
      help = true;
      continue;
    }
    if (isVerbose(word)) {
      if (verbosity) verbosity->push_back(i);
      continue;
    }
    if (const OptionForm* option = findOption(form, word)) {
      if (!option->valueName.empty()) ++i;
      continue;
    }
    const auto equals = word.find('=');
    if (word.starts_with("--") && equals != std::string::npos) {
      const OptionForm* option = findOption(form, std::string_view(word).substr(0, equals));
      if (option && !option->valueName.empty()) continue;
    }
    if (!word.starts_with("-") && positionals < form.positionals) {
      ++positionals;
      continue;
    }
    if (!unexpected) unexpected = word;
  }
  return unexpected;
}

}  // namespace

const std::vector<CommandForm>& commandForms() {
  static const std::vector<CommandForm> forms = {
      {{"setup"}, "setup [options] [--enroll]", "Interactive provisioning: writes config.json, then enrols with --enroll.",
       provisioningOptions({{"--enroll", "", "Enrol right after writing the configuration"}})},
      {{"provision"}, "provision (--from-file <provisioning.json> | --from-package <path> | --from-name <name>) [options]",
       "Non-interactive provisioning from a provisioning document, or a package or file name.",
       provisioningOptions({{"--from-file", "PATH", "A provisioning document, pinned trust included"},
                            {"--from-package", "PATH", "Read tenant and customer from this package's name"},
                            {"--from-name", "NAME", "Read tenant and customer from this file name"}})},
      {{"enroll"}, "enroll [options]", "Enrol this device with the control plane.", provisioningOptions({})},
      {{"run", "daemon"}, "run [<code>]",
       "Run the daemon loop (systemd). One daemon per state directory. A machine configured for quick\n"
       "assist takes the support code instead.",
       {}, 1},
      {{"once"}, "once", "One heartbeat + command-poll + update-check cycle.", {}},
      {{"gateway"}, "gateway", "Keep the gateway connection for remote shells and desktops until interrupted.", {}},
      {{"desktop-probe"}, "desktop-probe [--request]", "Check the display: monitors, capture and encoding.",
       {{"--request", "", "Ask for screen access where the desktop needs it"}}},
      {{"desktop-agent"}, "desktop-agent", "The per-user desktop helper the daemon relays sessions to.", {}},
      {{"quick-assist"}, "quick-assist [<code>] [--server URL]", "Attended support by a support code.",
       {kServer}, 1},
      {{"status"}, "status [--json]",
       "Print configuration / enrollment / certificate status and whether the daemon runs.", {kJSON}},
      {{"doctor"}, "doctor [--json]", "Preflight checks (config, pinned trust, identity).", {kJSON}},
      {{"update"}, "update [--apply]", "Check (or apply) a signed self-update.",
       {{"--apply", "", "Download, verify and install the update"}}},
      {{"inventory"}, "inventory", "Print the inventory snapshot as JSON.", {}},
      {{"metrics"}, "metrics", "Print the current metric sample set.", {}},
      {{"provision-name"}, "provision-name --tenant ID --customer ID [options]",
       "Build the recommended deploy filename.",
       {kTenant, kCustomer, kServer, kToken, kChannel,
        {"--prefix", "TEXT", "File name prefix (default VelaAgent)"},
        {"--ext", "TEXT", "File name extension (default pkg)"},
        {"--readable", "", "The readable form instead of the blob"}}},
      {{"reset", "uninstall"}, "reset [--yes]",
       "Remove device key, certificate, config, replay state. Asks first on a terminal.",
       {{"--yes", "", "Do not ask (required without a terminal)"}, {"-y", "", "Same as --yes"}}},
      {{"version", "--version"}, "version [--json]", "Print the agent version.",
       {{"--json", "", "Version, commit, build date, compiler and architecture as JSON"}}},
      {{"help", "--help", "-h"}, "help [<command>]", "Print the usage, or a command's own.", {}, 1},
  };
  return forms;
}

const CommandForm* findCommand(std::string_view word) {
  for (const CommandForm& form : commandForms()) {
    if (std::ranges::find(form.words, word) != form.words.end()) return &form;
  }
  return nullptr;
}

bool asksForHelp(const CommandForm& form, const std::vector<std::string>& args) {
  bool help = false;
  (void)scan(form, args, help);
  return help;
}

std::optional<std::string> unexpectedArgument(const CommandForm& form, const std::vector<std::string>& args) {
  bool help = false;
  return scan(form, args, help);
}

std::vector<std::string> withoutVerbosity(const CommandForm& form, std::vector<std::string> args) {
  bool help = false;
  std::vector<std::size_t> switches;
  (void)scan(form, args, help, &switches);
  for (auto it = switches.rbegin(); it != switches.rend(); ++it) args.erase(args.begin() + static_cast<std::ptrdiff_t>(*it));
  return args;
}

std::string commandUsage(const CommandForm& form) {
  std::string text = "USAGE: vela-agent ";
  text.append(form.synopsis).append("\n\n").append(form.summary).append("\n");
  std::vector<std::pair<std::string, std::string_view>> rows;
  for (const OptionForm& option : form.options) {
    std::string name(option.name);
    if (!option.valueName.empty()) name.append(" ").append(option.valueName);
    rows.emplace_back(std::move(name), option.help);
  }
  rows.emplace_back("-h, --help", "Print this help");
  std::size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.first.size());
  text += "\nOPTIONS:\n";
  for (const auto& [name, help] : rows) {
    text.append("  ").append(name).append(width - name.size() + 2, ' ').append(help).append("\n");
  }
  return text;
}

}  // namespace vela::CLI
