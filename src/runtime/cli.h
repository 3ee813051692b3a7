#pragma once

// The process entry's dispatcher: strips the verbosity switch, maps a bundle launch to
// "run", and hands the remaining arguments to one command handler. Handlers return the
// exit status or an error, which is printed here as "error: <description>".

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/setup_flags.h"
#include "util/agent_error.h"

namespace vela::CLI {

using Args = std::vector<std::string>;

int main(Args arguments);
void printUsage();
std::string usageText();

// Finds and removes the first "name VALUE" or "name=VALUE"; see the option rules.
std::optional<std::string> removeOption(Args& args, std::string_view name);
// Removes the first element equal to `word`; true when one was found.
bool removeFlag(Args& args, std::string_view word);

std::pair<SetupWizard::Flags, Args> flags(Args args, bool interactiveDefault);

}  // namespace vela::CLI
