#include "identity/cert_store.h"

#include <openssl/evp.h>

#include "config/agent_paths.h"
#include "identity/device_key.h"
#include "identity/pem.h"
#include "platform/file_io.h"
#include "util/utf8.h"
#include "util/hex.h"
#include "util/log.h"

namespace vela::CertStore {
namespace {

void noIdentity(const std::string& reason) {
  Log::warn("no mTLS identity (" + reason +
            "); remote-control disabled until the device enrols again. Monitoring is unaffected.");
}

}  // namespace

Result<Certificate> store(std::string_view pem, const std::optional<Bytes>& expectedPublicKey) {
  Bytes der = VELA_TRY(PEM::decode(pem));
  std::optional<Certificate> certificate = certificateFromDER(der);
  if (!certificate) return fail("issued certificate is not valid DER");
  if (expectedPublicKey && !certificateCarriesKey(*certificate, *expectedPublicKey)) {
    return fail("issued certificate does not carry this device's public key; refusing to store it");
  }
  VELA_TRY_VOID(AgentPaths::writeProtected(pem, AgentPaths::certFile()));
  return std::move(*certificate);
}

std::optional<std::string> loadCertificatePEM() {
  auto text = AgentPaths::readStateFile(AgentPaths::certFile());
  if (!text || !UTF8::isValid(*text)) return std::nullopt;
  return std::move(*text);
}

std::optional<Certificate> loadCertificate() {
  std::optional<std::string> pem = loadCertificatePEM();
  if (!pem) return std::nullopt;
  auto der = PEM::decode(*pem);
  if (!der) return std::nullopt;
  return certificateFromDER(*der);
}

std::optional<LoadedIdentity> loadIdentity() {
  std::optional<Certificate> certificate = loadCertificate();
  if (!certificate) {
    Log::debug("no issued certificate on disk; mTLS identity unavailable");
    return std::nullopt;
  }
  // The identity is the certificate plus the device key, usable only when that key
  // can be handed to the TLS library and is the one the certificate was issued for.
  auto identity = [&]() -> Result<ClientIdentity> {
    DeviceKey key = VELA_TRY(DeviceKey::load());
    std::string pem = VELA_TRY(key.privateKeyPEMForTLS());
    PrivateKey privateKey = VELA_TRY(privateKeyFromPEM(pem));
    return ClientIdentity::fromObjects(*certificate, std::move(privateKey));
  }();
  if (!identity) {
    noIdentity(identity.error().message);
    return std::nullopt;
  }
  return LoadedIdentity{std::move(*identity), std::move(*certificate)};
}

std::string fingerprint(const Certificate& certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  Bytes der = certificateDER(certificate);
  if (!EVP_Digest(der.data(), der.size(), digest, &size, EVP_sha256(), nullptr)) return "";
  return Hex::encode(std::span<const std::uint8_t>(digest, size));
}

void clear() { (void)platform::removeFile(AgentPaths::certFile()); }

}  // namespace vela::CertStore
