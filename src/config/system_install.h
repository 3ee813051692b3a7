#pragma once

// Installs the agent as a system service in one privileged step. As the ordinary user
// it stages the configuration and trust material of a provisioning payload in a
// temporary directory and writes one shell script that does everything needing root:
// place the executable at /usr/local/bin/vela-agent, move the staged files into the
// system state directory, write the system unit of the daemon and the user unit of the
// desktop helper, and (re)start both. The script runs through the authorization
// dialog of polkit (`pkexec`). Main-thread work; nothing here keeps state.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "config/installed_files.h"
#include "config/provisioning_payload.h"
#include "platform/shell.h"

namespace vela::SystemInstall {

struct Plan {
  // The running executable, copied into place when it does not run from there already.
  std::optional<std::string> sourceExecPath;
  // The executable the units start.
  std::string daemonExecPath;
  bool copyExecutable = false;
  InstalledFiles installed = InstalledFiles::under("");

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

// Runs `/bin/bash <script>` with root rights and reports how it ended. The live one is
// `pkexec`; tests put another in its place.
using Elevator = std::function<Shell::Result(const std::string& scriptPath)>;
Elevator pkexecElevator();

// `execPath` defaults to the running executable. `root` moves every installed location
// below another directory (tests only; "" on a real machine).
Plan resolvePlan(std::optional<std::string> execPath = std::nullopt, std::string_view root = "");

std::optional<InstallError> install(const ProvisioningPayload& payload, const Plan& plan,
                                    const Elevator& elevate = pkexecElevator());

// "$TMPDIR/vela-install-<pid>" and its script "$TMPDIR/vela-install-<pid>.sh".
std::string stagingDir();
std::string scriptFile();

std::string rootScript(const std::string& stageDir, const Plan& plan);
std::optional<InstallError> runAsAdmin(const std::string& script, const Elevator& elevate);

}  // namespace vela::SystemInstall
