#include "config/system_install.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "config/system_units.h"
#include "platform/file_io.h"
#include "util/process_info.h"
#include "util/shell_quote.h"
#include "util/text_fields.h"

namespace vela::SystemInstall {
namespace {

constexpr std::string_view kPinnedNames[] = {"ca.pem", "command_pubkey.b64",
                                             "update_pubkey.b64", "spki_pins.txt"};

// How pkexec reports a dismissed dialog: this status, and these words on standard error
// (a script of ours failing with 126 says something else).
constexpr int kPkexecDismissed = 126;
constexpr const char* kPkexecDismissal = "Request dismissed";

// How long the authorization dialog may wait for its person.
constexpr double kElevationTimeoutSeconds = 3600;

std::string temporaryDir() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir && *dir ? dir : "/tmp";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string parentOf(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

Result<void> writeStaged(const std::string& path, std::string_view data) {
  return platform::writeFileDurably(path, path + ".tmp", data, 0600);
}

Result<void> stage(const ProvisioningPayload& payload, const std::string& dir) {
  removeTree(dir);
  VELA_TRY_VOID(platform::makeDirectories(dir + "/pinned", 0700));
  VELA_TRY_VOID(writeStaged(dir + "/config.json", payload.toConfig().jsonData()));
  const std::optional<std::string>* material[] = {&payload.caPem, &payload.commandPubkey,
                                                  &payload.updatePubkey};
  for (std::size_t i = 0; i < 3; ++i) {
    if (*material[i]) {
      VELA_TRY_VOID(writeStaged(dir + "/pinned/" + std::string(kPinnedNames[i]), **material[i]));
    }
  }
  std::string pins;
  for (const std::string& pin : payload.spkiPins.value_or(std::vector<std::string>{})) {
    if (pin.empty()) continue;
    if (!pins.empty()) pins += "\n";
    pins += pin;
  }
  if (!pins.empty()) VELA_TRY_VOID(writeStaged(dir + "/pinned/spki_pins.txt", pins));
  return {};
}

// A unit file written through a quoted here-document, so nothing in it is expanded.
void writeUnit(std::string& script, const std::string& path, const std::string& text,
               std::string_view delimiter) {
  const std::string quoted = singleQuoted(path);
  script += "mkdir -p " + singleQuoted(parentOf(path)) + "\n";
  script += "cat > " + quoted + " <<'" + std::string(delimiter) + "'\n";
  script += text;
  script += std::string(delimiter) + "\n";
  script += "chown root:root " + quoted + "\n";
  script += "chmod 644 " + quoted + "\n";
}

}  // namespace

std::string InstallError::description() const {
  if (kind_ == Kind::staging) return "could not stage install files: " + text_;
  return text_.empty() ? "authorization was cancelled" : text_;
}

Elevator pkexecElevator() {
  return [](const std::string& scriptPath) {
    return Shell::run("/usr/bin/pkexec", {"/bin/bash", scriptPath}, std::nullopt,
                      kElevationTimeoutSeconds);
  };
}

Plan resolvePlan(std::optional<std::string> execPath, std::string_view root) {
  Plan plan;
  plan.installed = InstalledFiles::under(root);
  plan.daemonExecPath = plan.installed.executable;
  std::string running = execPath ? *execPath : ProcessInfo::executablePath();
  if (running != plan.installed.executable) {
    plan.sourceExecPath = std::move(running);
    plan.copyExecutable = true;
  }
  return plan;
}

std::string stagingDir() { return temporaryDir() + "/vela-install-" + std::to_string(getpid()); }

std::string scriptFile() { return stagingDir() + ".sh"; }

std::string rootScript(const std::string& stageDir, const Plan& plan) {
  const InstalledFiles& to = plan.installed;
  std::string s = "#!/bin/bash\nset -e\numask 077\n\n";
  s += "STATE=" + singleQuoted(to.stateDir) + "\n";
  s += "STAGE=" + singleQuoted(stageDir) + "\n\n";
  if (plan.copyExecutable && plan.sourceExecPath) {
    // install(1) unlinks the old file first, so a copy that is running stays intact.
    s += "install -D -o root -g root -m 755 " + singleQuoted(*plan.sourceExecPath) + " " +
         singleQuoted(plan.daemonExecPath) + "\n";
  }
  s += "# --- staged config + pinned trust into the system (root) state dir ---\n";
  s += "mkdir -p \"$STATE/pinned\"\n";
  s += "cp \"$STAGE/config.json\" \"$STATE/config.json\"\n";
  s += "for f in";
  for (std::string_view name : kPinnedNames) {
    s += ' ';
    s += name;
  }
  s += "; do\n";
  s += "  if [ -f \"$STAGE/pinned/$f\" ]; then cp \"$STAGE/pinned/$f\" \"$STATE/pinned/$f\"; fi\n";
  s += "done\n";
  s += "chown -R root:root \"$STATE\"\n";
  s += "chmod 700 \"$STATE\" \"$STATE/pinned\"\n";
  s += "chmod 600 \"$STATE/config.json\"\n";
  s += "find \"$STATE/pinned\" -maxdepth 1 -type f -exec chmod 600 {} +\n";
  s += "mkdir -p " + singleQuoted(to.logDir) + "\n\n";

  s += "# --- system service (root, self-starting) ---\n";
  writeUnit(s, to.systemUnit, SystemUnits::systemUnit(plan.daemonExecPath, to.stateDir, to.logDir),
            "VELA_SYSTEM_UNIT");
  s += "\n# --- user service (graphical-session desktop capture helper) ---\n";
  writeUnit(s, to.desktopUnit, SystemUnits::desktopUnit(plan.daemonExecPath), "VELA_USER_UNIT");

  const std::string system(kSystemUnit);
  const std::string desktop(kDesktopUnit);
  s += "\n# --- (re)start the daemon ---\n";
  s += "systemctl daemon-reload\n";
  s += "systemctl stop " + system + " 2>/dev/null || true\n";
  s += "systemctl enable --now " + system + "\n";

  s += "\n# --- (re)start the desktop helper for the active seat0 user ---\n";
  s += "systemctl --global enable " + desktop + "\n";
  s += "session=$(loginctl show-seat seat0 --property=ActiveSession --value 2>/dev/null || true)\n";
  s += "user=\n";
  s += "if [ -n \"$session\" ]; then\n";
  s += "  user=$(loginctl show-session \"$session\" --property=Name --value 2>/dev/null || true)\n";
  s += "fi\n";
  s += "if [ -n \"$user\" ] && [ \"$user\" != root ]; then\n";
  s += "  systemctl --user -M \"$user@\" daemon-reload 2>/dev/null || true\n";
  s += "  systemctl --user -M \"$user@\" restart " + desktop + " 2>/dev/null || true\n";
  s += "fi\n";
  s += "\nexit 0\n";
  return s;
}

std::optional<InstallError> runAsAdmin(const std::string& script, const Elevator& elevate) {
  const std::string path = scriptFile();
  if (auto written = platform::writeFileDurably(path, path + ".tmp", script, 0600); !written) {
    return InstallError::staging(written.error().message);
  }
  const Shell::Result ran = elevate(path);
  std::optional<InstallError> error;
  if (ran.exitCode == -1) {
    std::string_view reason = ran.stderr;
    if (reason.starts_with(Shell::kSpawnFailed)) reason.remove_prefix(Shell::kSpawnFailed.size());
    error = InstallError::authorizationFailed("could not launch pkexec: " + std::string(reason));
  } else if (ran.exitCode != 0) {
    // A dismissed dialog is a cancel, though pkexec says so in words of its own; empty
    // text reads "authorization was cancelled".
    const bool dismissed =
        ran.exitCode == kPkexecDismissed && ran.stderr.find(kPkexecDismissal) != std::string::npos;
    error = InstallError::authorizationFailed(dismissed ? "" : std::string(TextFields::trim(ran.stderr)));
  }
  (void)platform::removeFile(path);
  return error;
}

std::optional<InstallError> install(const ProvisioningPayload& payload, const Plan& plan,
                                    const Elevator& elevate) {
  const std::string dir = stagingDir();
  std::optional<InstallError> error;
  if (auto staged = stage(payload, dir); !staged) {
    error = InstallError::staging(staged.error().message);
  } else {
    error = runAsAdmin(rootScript(dir, plan), elevate);
  }
  removeTree(dir);
  return error;
}

}  // namespace vela::SystemInstall
