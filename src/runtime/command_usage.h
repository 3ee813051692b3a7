#pragma once

// What each command word accepts, and its own usage text. The dispatcher checks the
// arguments against it before a handler runs, so a typo or a stray "--help" never
// does something else; handlers then read their options as before.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vela::CLI {

struct OptionForm {
  std::string_view name;       // "--server"
  std::string_view valueName;  // "URL"; empty for a switch
  std::string_view help;
};

struct CommandForm {
  std::vector<std::string_view> words;
  std::string_view synopsis;  // after "vela-agent "
  std::string_view summary;
  std::vector<OptionForm> options;
  // Free words the command takes (the support code of quick-assist, a command name for
  // help).
  int positionals = 0;
};

// Every command, in the dispatcher's matching order.
const std::vector<CommandForm>& commandForms();
const CommandForm* findCommand(std::string_view word);

// "-h" or "--help" among the arguments, not taken as an option's value.
bool asksForHelp(const CommandForm& form, const std::vector<std::string>& args);
// The first argument the command does not take, if any. A second "-v"/"--verbose" is
// taken and ignored.
std::optional<std::string> unexpectedArgument(const CommandForm& form,
                                              const std::vector<std::string>& args);
// The arguments without the verbosity switches the scan above took (never an option's
// value that happens to read "-v").
std::vector<std::string> withoutVerbosity(const CommandForm& form, std::vector<std::string> args);
// "USAGE: vela-agent <synopsis>", the summary and the options, one per line.
std::string commandUsage(const CommandForm& form);

}  // namespace vela::CLI
