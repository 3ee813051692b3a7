#pragma once

// Whom a TLS client of the agent believes. Pinned: the agent's own anchors, as for the
// control plane and the gateway (PinnedTrust). The system store: the operating system's
// roots where OpenSSL looks by default (SSL_CERT_FILE and SSL_CERT_DIR move them), for
// quick assist, which runs before anything has been pinned.

#include <variant>

#include "net/pinned_trust.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace vela {

struct SystemTrustStore {};

using ServerTrust = std::variant<PinnedTrust, SystemTrustStore>;

// The anchors of OpenSSL's own chain check on `ctx`. Pinned: the CA certificates alone,
// never system roots or SPKI pins, so a store left without them refuses every server.
// False when OpenSSL refused a step; the context then trusts less, never more.
[[nodiscard]] bool installAnchors(SSL_CTX* ctx, const ServerTrust& trust);

}  // namespace vela
