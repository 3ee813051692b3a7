#include "identity/certificate.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include "identity/pem.h"

namespace vela {

std::optional<Certificate> Certificate::fromDER(std::span<const std::uint8_t> der) {
  const unsigned char* cursor = der.data();
  X509* parsed = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
  ERR_clear_error();
  if (!parsed) return std::nullopt;
  std::shared_ptr<X509> owned(parsed, X509_free);
  if (cursor != der.data() + der.size()) return std::nullopt;
  return Certificate(std::move(owned), Bytes(der.begin(), der.end()));
}

std::string Certificate::pem() const { return PEM::encode(der_, "CERTIFICATE"); }

Bytes Certificate::subjectPublicKeyInfo() const {
  X509_PUBKEY* key = X509_get_X509_PUBKEY(x509_.get());
  int size = i2d_X509_PUBKEY(key, nullptr);
  if (size <= 0) return {};
  Bytes out(static_cast<std::size_t>(size));
  unsigned char* cursor = out.data();
  i2d_X509_PUBKEY(key, &cursor);
  return out;
}

}  // namespace vela
