#pragma once

// Runs the built vela-agent binary as a child process and collects what it printed.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vela::testing {

struct ProcessOutput {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs `program` with `args`; `env` entries are added to (or, with a nullopt value,
// removed from) the test's own environment.
ProcessOutput runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::optional<std::string>>& env = {},
                         const std::string& input = "");

inline ProcessOutput runAgent(const std::vector<std::string>& args,
                              const std::map<std::string, std::optional<std::string>>& env = {},
                              const std::string& input = "") {
  return runProcess(VELA_AGENT_EXE, args, env, input);
}

}  // namespace vela::testing
