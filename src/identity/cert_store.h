#pragma once

// Keeps the issued client certificate: the PEM text exactly as received, in agent.crt
// (owner-only) and nowhere else. The mTLS identity is that certificate paired with the
// device key. Stateless functions; callers serialise writes (enrolment, reset and
// uninstall never overlap).

#include <optional>
#include <string>
#include <string_view>

#include "net/tls_objects.h"
#include "util/agent_error.h"

namespace vela::CertStore {

struct LoadedIdentity {
  ClientIdentity identity;
  Certificate certificate;
};

// Fails with "issued certificate is not valid DER" (agent.crt untouched) or the PEM or
// write error. With `expectedPublicKey` (a DER SubjectPublicKeyInfo), a certificate for
// any other key is refused too: it could never pair with the device key.
Result<Certificate> store(std::string_view pem,
                          const std::optional<Bytes>& expectedPublicKey = std::nullopt);
// The content of agent.crt, absent when unreadable or not UTF-8.
std::optional<std::string> loadCertificatePEM();
std::optional<Certificate> loadCertificate();
// Absent, with a log line saying why, when there is no certificate or it cannot be
// paired with the device key.
std::optional<LoadedIdentity> loadIdentity();
// Lower-case hex SHA-256 of the certificate's DER.
std::string fingerprint(const Certificate& certificate);
void clear();

}  // namespace vela::CertStore
