#pragma once

// A TLS client identity as the HTTPS and WebSocket clients take it: the certificate
// and its private key, both PEM ("CERTIFICATE" and PKCS#8 "PRIVATE KEY"). Header-only
// so the transport can use it without linking the identity library.

#include <string>

namespace vela {

struct ClientIdentity {
  std::string certificatePEM;
  std::string privateKeyPEM;
};

}  // namespace vela
