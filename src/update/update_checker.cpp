#include "update/update_checker.h"

#include <unistd.h>

#include <cstdio>

#include "config/agent_paths.h"
#include "net/endpoints.h"
#include "platform/durable_file.h"
#include "platform/executable_check.h"
#include "platform/file_io.h"
#include "platform/host_facts.h"
#include "platform/shell.h"
#include "update/binary_swap.h"
#include "util/agent_crypto.h"
#include "util/base64.h"
#include "util/hex.h"
#include "util/log.h"
#include "util/url.h"
#include "util/utf8.h"

namespace vela {
namespace {

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
  for (const auto& [name, value] : {std::pair<std::string, std::string>{"os", HostFacts::kOSName},
                                    {"arch", HostFacts::arch()},
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
  // Unlike a command's signature, a manifest's is decoded exactly as sent: a blank at
  // either end fails too.
  if (!Base64::decode(manifest.signature)) return fail(UpdateError::signatureInvalid());
  auto verified = AgentCrypto::verifyEd25519(manifest.signature, manifest.canonicalString(),
                                             trust_.updatePublicKey);
  if (!verified) return fail(UpdateError::signatureInvalid());
  std::string advertised(UTF8::trimWhitespace(manifest.public_key));
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

  // The artifact goes to disk as it arrives, hashed on the way; more bytes than the
  // signed size end the transfer at once.
  std::string dir = VELA_TRY(AgentPaths::ensureStateDir());
  std::string staged = dir + "/update-" + manifest.version + ".staged";
  auto file = VELA_TRY(platform::DurableFile::create(staged, staged + ".tmp-" + std::to_string(::getpid()), 0755));
  AgentCrypto::Sha256Hasher hasher;
  std::int64_t received = 0;
  std::optional<AgentError> stopped;
  HTTPClient::Request request = HTTPClient::makeGET(manifest.download_url, {});
  // The hash is over the bytes as served; nothing may be decoded on the way.
  request.decodeContent = false;
  request.bodySink = [&](std::span<const std::uint8_t> chunk) {
    received += static_cast<std::int64_t>(chunk.size());
    if (received > manifest.size_bytes) {
      stopped = UpdateError::sizeMismatch(manifest.size_bytes, received).toAgentError();
      return false;
    }
    hasher.update(chunk);
    if (auto written = file.write(chunk); !written) {
      stopped = written.error();
      return false;
    }
    return true;
  };
  auto response = http_->send(request);
  if (stopped) return tl::unexpected(*stopped);
  if (!response) return tl::unexpected(response.error().toAgentError());
  if (response->status != 200) {
    return fail(UpdateError::download("HTTP " + std::to_string(response->status)));
  }
  if (received != manifest.size_bytes) return fail(UpdateError::sizeMismatch(manifest.size_bytes, received));
  std::string digest = Hex::encode(hasher.finish());
  if (digest != lowercase(manifest.sha256)) return fail(UpdateError::sha256Mismatch(manifest.sha256, digest));

  VELA_TRY_VOID(file.commit());
  VELA_TRY_VOID(verifyCodeSignature(staged, manifest.version));
  Log::info("Update " + manifest.version + " verified (sha256 + signature + codesign)");
  return staged;
}

Result<void> UpdateChecker::verifyCodeSignature(const std::string& path, const std::string& version) const {
  if (auto native = platform::checkNativeExecutable(path); !native) {
    return fail(UpdateError::codeSignatureInvalid("codesign --verify: " + native.error().description()));
  }
  Shell::Result probe = Shell::run(path, {"version"}, std::nullopt, kVersionProbeSeconds);
  std::string printed(UTF8::trimWhitespace(probe.stdout));
  if (probe.exitCode != 0 || probe.timedOut || printed != version) {
    std::string reason = probe.timedOut ? "`version` did not answer within 10 s"
                         : probe.exitCode != 0
                             ? "`version` exited with " + std::to_string(probe.exitCode) + ": " +
                                   std::string(UTF8::trimWhitespace(probe.stderr))
                             : "`version` printed \"" + printed + "\", expected \"" + version + "\"";
    return fail(UpdateError::codeSignatureInvalid("does not satisfy pinned signing requirement: " + reason));
  }
  return {};
}

Result<void> UpdateChecker::swapBinary(const std::string& stagedBinary, const std::string& installedPath) const {
  return BinarySwap::swap(stagedBinary, installedPath, swapStepHook_);
}

Result<void> UpdateChecker::applyAndRelaunch(const std::string& stagedBinary, const std::string& installedPath) {
  VELA_TRY_VOID(swapBinary(stagedBinary, installedPath));
  Log::info("Update applied to " + installedPath + "; exiting for systemd relaunch");
  exit_(0);
  return {};
}

bool UpdateChecker::isProductionPath(const std::string& path) {
  for (const char* prefix : {"/usr/local/", "/Library/", "/opt/", "/Applications/"}) {
    if (path.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace vela
