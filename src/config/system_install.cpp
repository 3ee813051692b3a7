#include "config/system_install.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "config/brand_files.h"
#include "config/system_units.h"
#include "platform/file_io.h"
#include "util/agent_crypto.h"
#include "util/base64.h"
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

std::string parentOf(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

// A file's bytes as a quoted here-document of Base64, which no content can end early.
void writeData(std::string& script, const std::string& path, std::string_view data) {
  script += "put_file " + singleQuoted(path) + " <<'VELA_DATA'\n";
  const std::string encoded = Base64::encode(data);
  for (std::size_t at = 0; at < encoded.size(); at += 76) {
    script.append(encoded, at, 76);
    script += '\n';
  }
  script += "VELA_DATA\n";
}

// A file every user may read (put_file makes its files owner-only).
void writePublicData(std::string& script, const std::string& path, std::string_view data) {
  writeData(script, path, data);
  script += "chmod 644 " + singleQuoted(path) + "\n";
}

// The logos beside `executable`, else in the system's folders. Each must be a PNG that
// no other user could have planted, as the executable is: the consent dialog shows it.
Result<std::vector<std::pair<std::string, std::string>>> stageLogos(const std::string& executable,
                                                                   std::string_view root) {
  constexpr std::string_view kPNGSignature = "\x89PNG\r\n\x1a\n";
  constexpr std::size_t kMaxLogoBytes = 1 << 20;
  for (const std::string& folder : BrandFiles::searchPath(executable, root)) {
    std::vector<std::pair<std::string, std::string>> logos;
    for (std::string_view name : {BrandFiles::kLight, BrandFiles::kDark}) {
      const std::string path = folder + "/" + std::string(name);
      auto bytes = platform::readTrustedFile(path);
      if (!bytes) return fail("logo " + bytes.error().message);
      if (!*bytes) continue;
      if (!(*bytes)->starts_with(kPNGSignature) || (*bytes)->size() > kMaxLogoBytes)
        return fail("logo " + path + " is not a PNG image of at most 1 MiB");
      logos.emplace_back(name, std::move(**bytes));
    }
    if (!logos.empty()) return logos;
  }
  return std::vector<std::pair<std::string, std::string>>{};
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
  return [](const std::string& script) {
    return Shell::run("/usr/bin/pkexec", {"/bin/bash", "-s"}, script, kElevationTimeoutSeconds);
  };
}

Plan resolvePlan(std::optional<std::string> execPath, std::string_view root) {
  Plan plan;
  plan.installed = InstalledFiles::under(root);
  plan.root = std::string(root);
  plan.daemonExecPath = plan.installed.executable;
  std::string running = execPath ? *execPath : ProcessInfo::executablePath();
  if (running != plan.installed.executable) {
    plan.sourceExecPath = std::move(running);
    plan.copyExecutable = true;
  }
  return plan;
}

Result<Staged> stage(const ProvisioningPayload& payload, const Plan& plan) {
  Staged staged;
  staged.config = payload.toConfig().jsonData();
  const std::optional<std::string>* material[] = {&payload.caPem, &payload.commandPubkey,
                                                  &payload.updatePubkey};
  for (std::size_t i = 0; i < 3; ++i) {
    if (*material[i]) staged.pinned.emplace_back(kPinnedNames[i], **material[i]);
  }
  std::string pins;
  for (const std::string& pin : payload.spkiPins.value_or(std::vector<std::string>{})) {
    if (pin.empty()) continue;
    if (!pins.empty()) pins += "\n";
    pins += pin;
  }
  if (!pins.empty()) staged.pinned.emplace_back(kPinnedNames[3], pins);
  if (plan.copyExecutable && plan.sourceExecPath) {
    // Root copies it later: a file someone else could still change is refused now.
    auto trusted = platform::requireNoOtherWriter(*plan.sourceExecPath);
    if (!trusted) {
      return fail(trusted.error().message + "; other users could replace the program before it " +
                  "is installed. Copy vela-agent to a folder only you can write (for example your " +
                  "home folder) and run it from there");
    }
    std::error_code error;
    staged.executablePath = *trusted;
    staged.executableSize = std::filesystem::file_size(staged.executablePath, error);
    if (error) return fail("cannot read " + staged.executablePath + ": " + error.message());
    auto hash = AgentCrypto::sha256HexOfFile(staged.executablePath);
    if (!hash) return fail("cannot read " + staged.executablePath);
    staged.executableSha256 = *hash;
  }
  // Missing logos only leave the windows without one.
  staged.logos = VELA_TRY(stageLogos(plan.sourceExecPath.value_or(plan.daemonExecPath), plan.root));
  return staged;
}

std::string rootScript(const Staged& staged, const Plan& plan) {
  const InstalledFiles& to = plan.installed;
  // bash parses the whole function before running it, so nothing the script runs can
  // read the rest of the script from standard input.
  std::string s = "#!/bin/bash\nset -e\numask 077\n\n";
  s += "put_file() { base64 -d > \"$1.new\"; chmod 600 \"$1.new\"; mv -f \"$1.new\" \"$1\"; }\n\n";
  s += "install_agent() {\n";
  s += "STATE=" + singleQuoted(to.stateDir) + "\n\n";
  if (plan.copyExecutable && !staged.executablePath.empty()) {
    const std::string target = singleQuoted(plan.daemonExecPath);
    const std::string source = singleQuoted(staged.executablePath);
    s += "# --- the executable, only the bytes that were checked ---\n";
    s += "mkdir -p " + singleQuoted(parentOf(plan.daemonExecPath)) + "\n";
    // Only a plain file, and no more bytes than were hashed: nothing planted there can
    // hang the copy or fill the disk.
    s += "if [ ! -f " + source + " ] || [ -L " + source + " ]; then\n";
    s += "  echo " + singleQuoted(staged.executablePath + " is not a plain file; nothing was installed") + " >&2\n";
    s += "  exit 1\n";
    s += "fi\n";
    s += "copy=$(mktemp " + singleQuoted(parentOf(plan.daemonExecPath) + "/.vela-agent.XXXXXX") + ")\n";
    s += "trap 'rm -f \"$copy\"' EXIT\n";
    s += "head -c " + std::to_string(staged.executableSize) + " " + source + " > \"$copy\"\n";
    s += "if [ \"$(sha256sum < \"$copy\" | cut -d' ' -f1)\" != '" + staged.executableSha256 + "' ]; then\n";
    s += "  rm -f \"$copy\"\n";
    s += "  echo " + singleQuoted(staged.executablePath + " changed after it was checked; nothing was installed") +
         " >&2\n";
    s += "  exit 1\n";
    s += "fi\n";
    s += "chown root:root \"$copy\"\n";
    s += "chmod 755 \"$copy\"\n";
    // A rename leaves a running copy of the old file intact.
    s += "mv -f \"$copy\" " + target + "\n";
    s += "trap - EXIT\n\n";
  }
  s += "# --- config + pinned trust into the system (root) state dir ---\n";
  s += "mkdir -p \"$STATE/pinned\"\n";
  s += "chown -R root:root \"$STATE\"\n";
  s += "chmod 700 \"$STATE\" \"$STATE/pinned\"\n";
  writeData(s, to.stateDir + "/config.json", staged.config);
  for (const auto& [name, data] : staged.pinned) writeData(s, to.stateDir + "/pinned/" + name, data);
  // Trust of an earlier provisioning that this one does not carry must not linger.
  for (std::string_view name : kPinnedNames) {
    const bool carried = std::ranges::any_of(staged.pinned, [&](const auto& file) { return file.first == name; });
    if (!carried) s += "rm -f " + singleQuoted(to.stateDir + "/pinned/" + std::string(name)) + "\n";
  }
  s += "\n";

  if (!staged.logos.empty()) {
    s += "# --- the default logos, readable by every user's desktop helper ---\n";
    s += "(umask 022; mkdir -p " + singleQuoted(to.shareDir) + ")\n";
    for (const auto& [name, data] : staged.logos) writePublicData(s, to.shareDir + "/" + name, data);
    s += "\n";
  }

  s += "# --- system service (root, self-starting) ---\n";
  writeUnit(s, to.systemUnit, SystemUnits::systemUnit(plan.daemonExecPath, to.stateDir),
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
  s += "}\n\ninstall_agent </dev/null\nexit 0\n";
  return s;
}


std::optional<InstallError> runAsAdmin(const std::string& script, const Elevator& elevate) {
  const Shell::Result ran = elevate(script);
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
  return error;
}

std::optional<InstallError> install(const ProvisioningPayload& payload, const Plan& plan,
                                    const Elevator& elevate) {
  auto staged = stage(payload, plan);
  if (!staged) return InstallError::staging(staged.error().message);
  return runAsAdmin(rootScript(*staged, plan), elevate);
}

}  // namespace vela::SystemInstall
