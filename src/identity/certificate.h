#pragma once

// An X.509 certificate parsed from DER. Copies share the parsed object; immutable, so
// safe to share between threads.

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "util/bytes.h"

typedef struct x509_st X509;

namespace vela {

class Certificate {
 public:
  // Absent unless `der` is exactly one well-formed certificate with no trailing bytes.
  static std::optional<Certificate> fromDER(std::span<const std::uint8_t> der);

  const Bytes& der() const { return der_; }
  // "CERTIFICATE" PEM of der().
  std::string pem() const;
  // DER SubjectPublicKeyInfo of the certified key.
  Bytes subjectPublicKeyInfo() const;
  // Borrowed; lives as long as any copy of this Certificate.
  X509* x509() const { return x509_.get(); }

 private:
  Certificate(std::shared_ptr<X509> x509, Bytes der)
      : x509_(std::move(x509)), der_(std::move(der)) {}

  std::shared_ptr<X509> x509_;
  Bytes der_;
};

}  // namespace vela
