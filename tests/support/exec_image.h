#pragma once

// The argument and environment vectors for execve, prepared before fork so the child
// only calls async-signal-safe functions. `env` entries are added to (or, with a
// nullopt value, removed from) the test's own environment.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vela::testing {

class ExecImage {
 public:
  ExecImage(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::optional<std::string>>& env);
  ExecImage(const ExecImage&) = delete;
  ExecImage& operator=(const ExecImage&) = delete;

  // Replaces the calling (child) process; returns only when execve fails.
  void exec();

 private:
  std::string program_;
  std::vector<std::string> argStrings_, envStrings_;
  std::vector<char*> argv_, envp_;
};

}  // namespace vela::testing
