#include "net/server_trust.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "net/pinned_anchors.h"

namespace vela {

bool installAnchors(SSL_CTX* ctx, const ServerTrust& trust) {
  const auto* pinned = std::get_if<PinnedTrust>(&trust);
  if (!pinned) {
    bool loaded = SSL_CTX_set_default_verify_paths(ctx) == 1;
    if (!loaded) ERR_clear_error();
    return loaded;
  }
  X509_STORE* store = X509_STORE_new();
  if (!store) return false;
  bool added = PinnedAnchors::addTo(store, pinned->caCertificates).ok();
  SSL_CTX_set_cert_store(ctx, store);
  return added;
}

}  // namespace vela
