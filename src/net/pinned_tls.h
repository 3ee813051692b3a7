#pragma once

// The server-trust decision against pinned trust, and its installation on an OpenSSL
// client context. With pinned CA certificates they are the only anchors (system roots
// never count, whatever fails); with no CA but SPKI pins the system roots are used and
// the leaf key must be pinned; with neither, nothing is trusted.
//
// Thread-safe: the expected host and the last rejection are guarded by an internal
// lock; evaluation itself touches no shared state.

#include <optional>
#include <string>
#include <string_view>

#include "net/pinned_trust.h"
#include "net/tls_objects.h"
#include "util/mutex.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace vela {

class PinnedTLS {
 public:
  PinnedTLS(PinnedTrust trust, std::optional<ClientIdentity> identity);
  PinnedTLS(const PinnedTLS&) = delete;
  PinnedTLS& operator=(const PinnedTLS&) = delete;

  // TLS 1.2 minimum, the pinned server check and, when present, the client identity
  // (OpenSSL sends it only when the server asks for one).
  // REQUIRES: this object outlives every connection made with `ctx`.
  Result<void> configure(SSL_CTX* ctx);

  // The host name (or IP literal) that connections made from now on must prove.
  void setExpectedHost(std::string host);
  std::string expectedHost() const;

  // True to accept `chain` (leaf first) for `host`. Each refusal is logged at error
  // level and remembered for takeRejection().
  bool evaluatePinned(const CertificateChain& chain, std::string_view host);

  // The message of the latest refusal since the last call, if any.
  std::optional<std::string> takeRejection();

  const PinnedTrust& trust() const { return trust_; }
  bool hasIdentity() const { return identity_.has_value(); }

 private:
  bool reject(std::string message);

  const PinnedTrust trust_;
  const std::optional<ClientIdentity> identity_;

  mutable Mutex mutex_;
  std::string expectedHost_ GUARDED_BY(mutex_);
  std::optional<std::string> lastRejection_ GUARDED_BY(mutex_);
};

}  // namespace vela
