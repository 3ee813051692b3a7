#pragma once

// Reference-counted handles to OpenSSL certificates and keys, and the client identity
// the HTTPS client presents for mutual TLS. Records that hold these stay copyable; the
// objects themselves are never modified after construction, so copies may be shared
// between threads.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/agent_error.h"
#include "util/bytes.h"

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace vela {

using Certificate = std::shared_ptr<X509>;
using PrivateKey = std::shared_ptr<EVP_PKEY>;
// A peer's certificates as presented, leaf first.
using CertificateChain = std::vector<Certificate>;

// Takes ownership of one reference.
Certificate adoptCertificate(X509* certificate);
// Adds a reference; the caller keeps its own.
Certificate shareCertificate(X509* certificate);
PrivateKey adoptPrivateKey(EVP_PKEY* key);
PrivateKey sharePrivateKey(EVP_PKEY* key);

// One DER certificate occupying all of `der`, or absent.
std::optional<Certificate> certificateFromDER(std::span<const std::uint8_t> der);
// The first "CERTIFICATE" PEM block of the text.
Result<Certificate> certificateFromPEM(std::string_view pem);
Result<PrivateKey> privateKeyFromPEM(std::string_view pem);
Bytes certificateDER(const Certificate& certificate);
// Whether the certificate's public key is the key of the DER SubjectPublicKeyInfo.
bool certificateCarriesKey(const Certificate& certificate, std::span<const std::uint8_t> spki);

// The certificate and private key presented when a server asks for a client
// certificate.
struct ClientIdentity {
  Certificate certificate;
  PrivateKey privateKey;

  // Fails when either part does not parse or the key does not belong to the
  // certificate.
  static Result<ClientIdentity> fromPEM(std::string_view certificatePEM,
                                        std::string_view privateKeyPEM);
  static Result<ClientIdentity> fromObjects(Certificate certificate, PrivateKey privateKey);
};

// The reason text of the oldest queued OpenSSL error, or "unknown"; clears the queue.
std::string tlsErrorReason();

}  // namespace vela
