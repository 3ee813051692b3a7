#include "support/exec_image.h"

#include <unistd.h>

extern char** environ;

namespace vela::testing {

ExecImage::ExecImage(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::optional<std::string>>& env)
    : program_(program) {
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (!env.contains(entry.substr(0, entry.find('=')))) envStrings_.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value) envStrings_.push_back(name + "=" + *value);
  }
  argStrings_ = {program};
  argStrings_.insert(argStrings_.end(), args.begin(), args.end());
  for (auto& s : argStrings_) argv_.push_back(s.data());
  argv_.push_back(nullptr);
  for (auto& s : envStrings_) envp_.push_back(s.data());
  envp_.push_back(nullptr);
}

void ExecImage::exec() { ::execve(program_.c_str(), argv_.data(), envp_.data()); }

}  // namespace vela::testing
