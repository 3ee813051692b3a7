#include "net/tls_objects.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace vela {
namespace {

struct BIOFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BIOPtr = std::unique_ptr<BIO, BIOFree>;

BIOPtr memoryBIO(std::string_view text) {
  return BIOPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// OpenSSL fills a certificate's extension cache on first use, under a lock that readers
// skip once the cache is marked filled. Anchors and identities are shared between the
// HTTPS client's and the gateway's threads, so the cache is filled while the parsed
// certificate is still ours alone; later handshakes only read it.
Certificate cacheFilled(X509* certificate) {
  X509_check_purpose(certificate, -1, 0);
  return Certificate(certificate, [](X509* c) { X509_free(c); });
}

}  // namespace

Certificate adoptCertificate(X509* certificate) {
  return Certificate(certificate, [](X509* c) { X509_free(c); });
}

Certificate shareCertificate(X509* certificate) {
  if (certificate) X509_up_ref(certificate);
  return adoptCertificate(certificate);
}

PrivateKey adoptPrivateKey(EVP_PKEY* key) {
  return PrivateKey(key, [](EVP_PKEY* k) { EVP_PKEY_free(k); });
}

PrivateKey sharePrivateKey(EVP_PKEY* key) {
  if (key) EVP_PKEY_up_ref(key);
  return adoptPrivateKey(key);
}

std::optional<Certificate> certificateFromDER(std::span<const std::uint8_t> der) {
  const unsigned char* cursor = der.data();
  X509* parsed = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
  if (!parsed) {
    ERR_clear_error();
    return std::nullopt;
  }
  Certificate certificate = cacheFilled(parsed);
  // Trailing bytes mean the block was not one certificate.
  if (cursor != der.data() + der.size()) return std::nullopt;
  return certificate;
}

Result<Certificate> certificateFromPEM(std::string_view pem) {
  BIOPtr bio = memoryBIO(pem);
  X509* parsed = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (!parsed) return fail("certificate: " + tlsErrorReason());
  return cacheFilled(parsed);
}

Result<PrivateKey> privateKeyFromPEM(std::string_view pem) {
  BIOPtr bio = memoryBIO(pem);
  EVP_PKEY* parsed = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
  if (!parsed) return fail("private key: " + tlsErrorReason());
  return adoptPrivateKey(parsed);
}

Bytes certificateDER(const Certificate& certificate) {
  unsigned char* out = nullptr;
  int length = i2d_X509(certificate.get(), &out);
  if (length <= 0) return {};
  Bytes der(out, out + length);
  OPENSSL_free(out);
  return der;
}

bool certificateCarriesKey(const Certificate& certificate, std::span<const std::uint8_t> spki) {
  const unsigned char* cursor = spki.data();
  PrivateKey key = adoptPrivateKey(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size())));
  EVP_PKEY* carried = X509_get0_pubkey(certificate.get());
  // Compared as keys, so any valid encoding of the same point matches.
  return key && carried != nullptr && EVP_PKEY_eq(key.get(), carried) == 1;
}

Result<ClientIdentity> ClientIdentity::fromPEM(std::string_view certificatePEM,
                                               std::string_view privateKeyPEM) {
  Certificate certificate = VELA_TRY(certificateFromPEM(certificatePEM));
  PrivateKey key = VELA_TRY(privateKeyFromPEM(privateKeyPEM));
  return fromObjects(std::move(certificate), std::move(key));
}

Result<ClientIdentity> ClientIdentity::fromObjects(Certificate certificate, PrivateKey privateKey) {
  if (!certificate || !privateKey) return fail("client identity: missing certificate or key");
  if (X509_check_private_key(certificate.get(), privateKey.get()) != 1) {
    ERR_clear_error();
    return fail("client identity: the private key does not match the certificate");
  }
  return ClientIdentity{std::move(certificate), std::move(privateKey)};
}

std::string tlsErrorReason() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown";
  const char* reason = ERR_reason_error_string(code);
  return reason ? reason : "unknown";
}

}  // namespace vela
