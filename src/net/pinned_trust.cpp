#include "net/pinned_trust.h"

#include "config/agent_paths.h"
#include "net/pinned_defaults.h"
#include "util/utf8.h"
#include "platform/file_io.h"
#include "util/base64.h"
#include "util/log.h"
#include "util/url.h"

namespace vela {
namespace {

constexpr std::string_view kCommandKeyLabel = "command public key (pinned/command_pubkey.b64)";
constexpr std::string_view kUpdateKeyLabel = "update public key (pinned/update_pubkey.b64)";

std::string_view trimSpacesAndTabs(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// What an administrator can do about missing trust material besides placing the file.
std::string provisioningAdvice() {
  return "or provision from a document that carries it: `vela-agent provision --from-file "
         "<provisioning.json>`, or that document as " +
         AgentPaths::file("provisioning.json") + " before the first start";
}

bool isLineBreak(char c) { return c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Splits at every line-break character; "\r\n" yields an empty piece, which is harmless
// for both callers.
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isLineBreak(text[i])) {
      lines.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  lines.push_back(text.substr(start));
  return lines;
}

Result<AgentCrypto::Ed25519PublicKey> loadKey(const std::string& file, std::string_view fallback,
                                              std::string_view label, std::string* source) {
  std::string text = VELA_TRY(PinnedTrust::firstAvailable(file, fallback, label));
  auto key = AgentCrypto::ed25519PublicKey(text);
  if (!key) return tl::unexpected(key.error().toAgentError());
  if (key->isWeak()) {
    return fail("refusing pinned " + std::string(label) +
                ": a small-order or non-canonical Ed25519 public key verifies forged signatures");
  }
  if (source) *source = std::string(UTF8::trimWhitespace(text));
  return std::move(key).value();
}

}  // namespace

std::optional<std::string> PinnedTrust::optionalPinned(const std::string& file,
                                                       std::string_view fallback) {
  if (auto text = AgentPaths::readStateFile(file)) {
    if (UTF8::isValid(*text) && !UTF8::trimWhitespace(*text).empty()) {
      return std::move(text).value();
    }
  }
  std::string_view trimmed = UTF8::trimWhitespace(fallback);
  if (trimmed.empty() || PinnedDefaults::isPlaceholder(trimmed)) return std::nullopt;
  return std::string(fallback);
}

Result<std::string> PinnedTrust::firstAvailable(const std::string& file, std::string_view fallback,
                                                std::string_view label) {
  if (auto text = optionalPinned(file, fallback)) return std::move(text).value();
  return fail("missing pinned " + std::string(label) + ". Put it in " + AgentPaths::pinnedDir() + ", " +
              provisioningAdvice() + ".");
}

std::vector<Certificate> PinnedTrust::parseCertificates(std::string_view pem) {
  std::vector<Certificate> certificates;
  bool inBlock = false;
  std::string collected;
  for (std::string_view line : splitLines(pem)) {
    if (line.find("BEGIN CERTIFICATE") != std::string_view::npos) {
      inBlock = true;
      collected.clear();
    } else if (line.find("END CERTIFICATE") != std::string_view::npos) {
      if (!inBlock) continue;
      inBlock = false;
      auto der = Base64::decode(collected);
      if (!der) continue;
      if (auto certificate = certificateFromDER(*der)) certificates.push_back(*certificate);
    } else if (inBlock) {
      collected += trimSpacesAndTabs(line);
    }
  }
  return certificates;
}

std::set<std::string> PinnedTrust::parseSPKIPins(const std::optional<std::string>& text) {
  std::set<std::string> pins;
  if (!text) return pins;
  std::size_t start = 0;
  const std::string& all = *text;
  for (std::size_t i = 0; i <= all.size(); ++i) {
    if (i < all.size() && all[i] != '\n' && all[i] != ',') continue;
    std::string_view entry = trimSpacesAndTabs(std::string_view(all).substr(start, i - start));
    // A file saved with CRLF line ends would otherwise yield pins that can never match.
    while (!entry.empty() && entry.back() == '\r') entry = trimSpacesAndTabs(entry.substr(0, entry.size() - 1));
    start = i + 1;
    if (entry.empty() || PinnedDefaults::isPlaceholder(entry)) continue;
    pins.emplace(entry);
  }
  return pins;
}

Result<PinnedTrust> PinnedTrust::load() {
  std::vector<Certificate> certificates;
  if (auto pem = optionalPinned(AgentPaths::pinnedCACert(), PinnedDefaults::caCertificatePEM)) {
    certificates = parseCertificates(*pem);
    if (certificates.empty()) return fail("pinned CA PEM contained no certificates");
  }

  std::set<std::string> pins =
      parseSPKIPins(optionalPinned(AgentPaths::pinnedSPKI(), PinnedDefaults::spkiPinsBase64));

  if (certificates.empty() && pins.empty()) {
    return fail(
        "missing pinned trust: no internal CA certificate (pinned/ca.pem) and no SPKI pins. "
        "Put the internal CA in " +
        AgentPaths::pinnedCACert() + ", " + provisioningAdvice() +
        "; only for a genuinely public-cert endpoint, put SPKI pins in " + AgentPaths::pinnedSPKI() +
        ". The agent refuses to run rather than trust system roots.");
  }
  if (certificates.empty()) {
    Log::info("system-trust TLS with " + std::to_string(pins.size()) +
              " explicitly-provisioned SPKI leaf pin(s).");
  }

  auto commandKey = VELA_TRY(loadKey(AgentPaths::pinnedCommandKey(),
                                     PinnedDefaults::commandPublicKeyBase64, kCommandKeyLabel,
                                     nullptr));
  std::string updateSource;
  auto updateKey = VELA_TRY(loadKey(AgentPaths::pinnedUpdateKey(),
                                    PinnedDefaults::updatePublicKeyBase64, kUpdateKeyLabel,
                                    &updateSource));
  return PinnedTrust{std::move(certificates), std::move(pins), std::move(commandKey),
                     std::move(updateKey), std::move(updateSource)};
}

}  // namespace vela
