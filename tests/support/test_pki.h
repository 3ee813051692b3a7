#pragma once

// Certificate material made at test time with OpenSSL: keys of the types a TLS server
// may present, certificate authorities, and leaf certificates with chosen names.

#include <memory>
#include <string>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace vela::testing {

enum class KeyKind { rsa2048, rsa3072, rsa4096, p256, p384, p521, ed25519 };

// One key per kind for the whole test process: RSA generation is slow.
std::shared_ptr<EVP_PKEY> sharedKey(KeyKind kind);

struct TestCertificate {
  std::shared_ptr<X509> certificate;
  std::shared_ptr<EVP_PKEY> key;
  std::string certificatePEM;
  std::string privateKeyPEM;  // PKCS#8
};

enum class Usage { server, client };

class TestCA {
 public:
  // A self-signed P-256 CA.
  explicit TestCA(const std::string& commonName);

  const TestCertificate& identity() const { return identity_; }
  const std::string& certificatePEM() const { return identity_.certificatePEM; }

  // `subjectAltName` in OpenSSL's configuration syntax, e.g.
  // "DNS:localhost,IP:127.0.0.1"; empty for none. Without `key` a fresh one of `kind`.
  TestCertificate issue(const std::string& commonName, const std::string& subjectAltName,
                        KeyKind kind = KeyKind::p256, Usage usage = Usage::server,
                        std::shared_ptr<EVP_PKEY> key = nullptr) const;

 private:
  TestCertificate identity_;
};

}  // namespace vela::testing
