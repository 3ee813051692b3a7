#include "update/update_checker.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "config/agent_paths.h"
#include "net/endpoints.h"
#include "platform/executable_check.h"
#include "platform/file_io.h"
#include "telemetry/system_info.h"
#include "util/agent_crypto.h"
#include "util/log.h"
#include "util/shell.h"
#include "util/url.h"

namespace vela {
namespace {

namespace fs = std::filesystem;

constexpr double kDownloadTimeoutSeconds = 60;
constexpr double kVersionProbeSeconds = 10;

tl::unexpected<AgentError> fail(const UpdateError& e) { return tl::unexpected(e.toAgentError()); }

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void exitNow(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

}  // namespace

UpdateChecker::UpdateChecker(std::string baseURL, PinnedTrust trust, std::optional<ClientIdentity> identity)
    : baseURL_(std::move(baseURL)),
      trust_(trust),
      http_(std::make_unique<HTTPClient>(std::move(trust), std::move(identity), kDownloadTimeoutSeconds)),
      exit_(exitNow) {}

Result<UpdateChecker::Outcome> UpdateChecker::check(const std::string& channel,
                                                    const std::string& currentVersion) {
  // The query items go in this order: os, arch, channel, current_version.
  std::string url = Endpoints{baseURL_}.updateCheck();
  for (const auto& [name, value] : {std::pair<std::string, std::string>{"os", "linux"},
                                    {"arch", SystemInfo::arch()},
                                    {"channel", channel},
                                    {"current_version", currentVersion}}) {
    url = appendQuery(url, {{name, value}});
  }
  auto response = http_->get(url, {}, BodyLimits::kUpdateCheck);
  if (!response) return tl::unexpected(response.error().toAgentError());
  if (response->status == 204) return Outcome();
  if (response->status != 200) return fail(UpdateError::server(response->status));
  auto decoded = VELA_TRY(UpdateCheckResponse::decode(response->bodyString()));
  if (!decoded.update_available || !decoded.manifest) return Outcome();
  VELA_TRY_VOID(verifyManifestSignature(*decoded.manifest));
  return Outcome(std::move(*decoded.manifest));
}

Result<void> UpdateChecker::verifyManifestSignature(const UpdateManifest& manifest) const {
  auto verified = AgentCrypto::verifyEd25519(manifest.signature, manifest.canonicalString(),
                                             trust_.updatePublicKey);
  if (!verified) return fail(UpdateError::signatureInvalid());
  std::string advertised(trimWhitespace(manifest.public_key));
  if (!advertised.empty() && advertised != trust_.updatePublicKeyBase64) {
    Log::warn("update manifest advertises a different public key than pinned \u2014 rotation pending? "
              "(manifest=" + advertised.substr(0, 12) + "\u2026, pinned=" +
              trust_.updatePublicKeyBase64.substr(0, 12) + "\u2026)");
  }
  return {};
}

Result<std::string> UpdateChecker::downloadAndVerify(const UpdateManifest& manifest) {
  auto url = URL::parse(manifest.download_url);
  if (!url) return fail(UpdateError::download("invalid download_url"));
  Log::info("Downloading update " + manifest.version + " from " + manifest.download_url);
  auto response = http_->get(manifest.download_url);
  if (!response) return tl::unexpected(response.error().toAgentError());
  if (response->status != 200) {
    return fail(UpdateError::download("HTTP " + std::to_string(response->status)));
  }
  auto length = static_cast<std::int64_t>(response->body.size());
  if (length != manifest.size_bytes) return fail(UpdateError::sizeMismatch(manifest.size_bytes, length));
  std::string digest = AgentCrypto::sha256Hex(response->body);
  if (digest != lowercase(manifest.sha256)) return fail(UpdateError::sha256Mismatch(manifest.sha256, digest));

  std::string dir = VELA_TRY(AgentPaths::ensureStateDir());
  std::string staged = dir + "/update-" + manifest.version + ".staged";
  std::string_view body(reinterpret_cast<const char*>(response->body.data()), response->body.size());
  VELA_TRY_VOID(platform::writeFileDurably(staged, staged + ".tmp-" + std::to_string(::getpid()), body, 0755));
  VELA_TRY_VOID(verifyCodeSignature(staged, manifest.version));
  Log::info("Update " + manifest.version + " verified (sha256 + signature + codesign)");
  return staged;
}

Result<void> UpdateChecker::verifyCodeSignature(const std::string& path, const std::string& version) const {
  if (auto native = platform::checkNativeExecutable(path); !native) {
    return fail(UpdateError::codeSignatureInvalid("codesign --verify: " + native.error().description()));
  }
  Shell::Result probe = Shell::run(path, {"version"}, std::nullopt, kVersionProbeSeconds);
  std::string printed(trimWhitespace(probe.stdout));
  if (probe.exitCode != 0 || probe.timedOut || printed != version) {
    std::string reason = probe.timedOut ? "`version` did not answer within 10 s"
                         : probe.exitCode != 0
                             ? "`version` exited with " + std::to_string(probe.exitCode) + ": " +
                                   std::string(trimWhitespace(probe.stderr))
                             : "`version` printed \"" + printed + "\", expected \"" + version + "\"";
    return fail(UpdateError::codeSignatureInvalid("does not satisfy pinned signing requirement: " + reason));
  }
  return {};
}

Result<void> UpdateChecker::swapBinary(const std::string& stagedBinary, const std::string& installedPath) const {
  fs::path installed(installedPath);
  std::string backup = installedPath + ".previous";
  fs::path temp = installed.parent_path() / (installed.filename().string() + ".new-" + std::to_string(::getpid()));
  std::error_code ec;
  fs::remove(temp, ec);
  fs::copy_file(stagedBinary, temp, fs::copy_options::overwrite_existing, ec);
  if (ec) return vela::fail(temp.string() + ": " + ec.message());
  fs::permissions(temp, static_cast<fs::perms>(0755), fs::perm_options::replace, ec);
  if (ec) return vela::fail(temp.string() + ": " + ec.message());
  fs::remove(backup, ec);
  if (fs::exists(installed, ec)) fs::copy_file(installed, backup, fs::copy_options::overwrite_existing, ec);
  if (::rename(temp.c_str(), installedPath.c_str()) == 0) {
    fs::remove(stagedBinary, ec);
    return {};
  }
  std::string reason = std::strerror(errno);
  fs::remove(temp, ec);
  if (!fs::exists(installed, ec) && fs::exists(backup, ec)) fs::copy_file(backup, installed, ec);
  return fail(UpdateError::download("atomic replace failed: " + reason));
}

Result<void> UpdateChecker::applyAndRelaunch(const std::string& stagedBinary, const std::string& installedPath) {
  VELA_TRY_VOID(swapBinary(stagedBinary, installedPath));
  Log::info("Update applied to " + installedPath + "; exiting for launchd relaunch");
  exit_(0);
  return {};
}

std::optional<std::string> UpdateChecker::appBundlePath(const std::string& executablePath) {
  if (executablePath.find(".app/Contents/MacOS/") == std::string::npos) return std::nullopt;
  return fs::path(executablePath).parent_path().parent_path().parent_path().string();
}

bool UpdateChecker::isProductionPath(const std::string& path) {
  for (const char* prefix : {"/usr/local/", "/Library/", "/opt/", "/Applications/"}) {
    if (path.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace vela
