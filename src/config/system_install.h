#pragma once

// Installs the agent as a system service in one privileged step. As the ordinary user
// it writes one shell script that does everything needing root: place the executable
// at /usr/local/bin/vela-agent, write the configuration and trust material of a
// provisioning payload into the system state directory, write the system unit of the
// daemon and the user unit of the desktop helper, and (re)start both. The script runs
// through the authorization dialog of polkit (`pkexec`) and reaches it on standard
// input with every file's content inside it: nothing passes through a file system
// location another local user could prepare or swap. The executable is copied only
// from a path no other user can change, and only when its bytes still hash to what
// was checked. Main-thread work; nothing here keeps state.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/installed_files.h"
#include "config/provisioning_payload.h"
#include "platform/shell.h"
#include "util/agent_error.h"

namespace vela::SystemInstall {

struct Plan {
  // The running executable, copied into place when it does not run from there already.
  std::optional<std::string> sourceExecPath;
  // The executable the units start.
  std::string daemonExecPath;
  bool copyExecutable = false;
  InstalledFiles installed = InstalledFiles::under("");
  // What every system path of the plan sits below ("" on a live system).
  std::string root;

  bool operator==(const Plan&) const = default;
};

class InstallError {
 public:
  enum class Kind { staging, authorizationFailed };

  static InstallError staging(std::string text) { return {Kind::staging, std::move(text)}; }
  static InstallError authorizationFailed(std::string text) {
    return {Kind::authorizationFailed, std::move(text)};
  }

  Kind kind() const { return kind_; }
  // "could not stage install files: <text>", or the authorization text ("authorization
  // was cancelled" when there is none).
  std::string description() const;
  bool operator==(const InstallError&) const = default;

 private:
  InstallError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// Runs the script (the text, as bash reads it from standard input) with root rights
// and reports how it ended. The live one is `pkexec`; tests put another in its place.
using Elevator = std::function<Shell::Result(const std::string& script)>;
Elevator pkexecElevator();

// `execPath` defaults to the running executable. `root` moves every installed location
// below another directory (tests only; "" on a real machine).
Plan resolvePlan(std::optional<std::string> execPath = std::nullopt, std::string_view root = "");

std::optional<InstallError> install(const ProvisioningPayload& payload, const Plan& plan,
                                    const Elevator& elevate = pkexecElevator());

// What the script writes, fixed before it runs.
struct Staged {
  std::string config;  // config.json
  // Pinned trust files by name ("ca.pem", ...), only those the payload carries.
  std::vector<std::pair<std::string, std::string>> pinned;
  // The executable to copy (links resolved), its size and SHA-256 (hex); empty when
  // none is copied.
  std::string executablePath;
  std::uint64_t executableSize = 0;
  std::string executableSha256;
  // The default logos found for the executable, by file name; copied where the installed
  // executable finds them.
  std::vector<std::pair<std::string, std::string>> logos;
};

// Checks the executable's path and hashes it when the plan copies it.
Result<Staged> stage(const ProvisioningPayload& payload, const Plan& plan);
std::string rootScript(const Staged& staged, const Plan& plan);
std::optional<InstallError> runAsAdmin(const std::string& script, const Elevator& elevate);

}  // namespace vela::SystemInstall
