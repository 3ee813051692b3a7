#include "identity/cert_store.h"

#include <openssl/evp.h>

#include "config/agent_paths.h"
#include "identity/device_key.h"
#include "identity/keychain.h"
#include "identity/pem.h"
#include "platform/file_io.h"
#include "util/hex.h"
#include "util/log.h"

namespace vela::CertStore {
namespace {

// Well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool isUTF8(std::string_view text) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = at(i);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the first continuation byte
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      unsigned char b = at(i + k);
      if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return false;
    }
    i += extra + 1;
  }
  return true;
}

void noIdentity(int status) {
  Log::warn("no mTLS identity (status " + std::to_string(status) +
            "); remote-control disabled until the daemon " +
            "is signed for the data-protection keychain. Monitoring is unaffected.");
}

}  // namespace

Result<Certificate> store(std::string_view pem) {
  Bytes der = VELA_TRY(PEM::decode(pem));
  std::optional<Certificate> certificate = Certificate::fromDER(der);
  if (!certificate) return fail("issued certificate is not valid DER");
  VELA_TRY_VOID(AgentPaths::writeProtected(pem, AgentPaths::certFile()));
  if (Keychain::available()) {
    platform::KeyStore& keys = Keychain::store();
    bool dataProtection = Keychain::usesDataProtection();
    (void)keys.deleteCertificates(kLabel, dataProtection);
    int status = keys.addCertificate(der, kLabel, dataProtection);
    if (status != platform::kKeyStoreSuccess && status != platform::kKeyStoreDuplicateItem) {
      Log::warn("could not add client cert to keychain (status " + std::to_string(status) +
                "); mTLS identity may be unavailable");
    }
  }
  return std::move(*certificate);
}

std::optional<std::string> loadCertificatePEM() {
  auto text = platform::readFile(AgentPaths::certFile());
  if (!text || !isUTF8(*text)) return std::nullopt;
  return std::move(*text);
}

std::optional<Certificate> loadCertificate() {
  std::optional<std::string> pem = loadCertificatePEM();
  if (!pem) return std::nullopt;
  auto der = PEM::decode(*pem);
  if (!der) return std::nullopt;
  return Certificate::fromDER(*der);
}

std::optional<LoadedIdentity> loadIdentity() {
  std::optional<Certificate> certificate = loadCertificate();
  if (!certificate) {
    Log::debug("no issued certificate on disk; mTLS identity unavailable");
    return std::nullopt;
  }
  // Without a key store to pair them, the identity is the certificate plus the device
  // key, usable only when that key can be handed to the TLS library and is the one
  // the certificate was issued for.
  auto key = DeviceKey::load();
  if (!key) {
    noIdentity(platform::kKeyStoreItemNotFound);
    return std::nullopt;
  }
  auto spki = key->publicKeySPKI();
  auto privatePEM = key->privateKeyPEMForTLS();
  if (!spki || !privatePEM || *spki != certificate->subjectPublicKeyInfo()) {
    noIdentity(platform::kKeyStoreItemNotFound);
    return std::nullopt;
  }
  return LoadedIdentity{ClientIdentity{certificate->pem(), std::move(*privatePEM)},
                        std::move(*certificate)};
}

std::string fingerprint(const Certificate& certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const Bytes& der = certificate.der();
  if (!EVP_Digest(der.data(), der.size(), digest, &size, EVP_sha256(), nullptr)) return "";
  return Hex::encode(std::span<const std::uint8_t>(digest, size));
}

void clear() {
  (void)platform::removeFile(AgentPaths::certFile());
  if (Keychain::available()) {
    (void)Keychain::store().deleteCertificates(kLabel, Keychain::usesDataProtection());
  }
}

}  // namespace vela::CertStore
