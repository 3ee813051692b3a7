#include "runtime/client_identity_loader.h"

#include "identity/cert_store.h"

namespace vela {

std::optional<ClientIdentity> loadStoredClientIdentity() {
  auto loaded = CertStore::loadIdentity();
  if (!loaded) return std::nullopt;
  return std::move(loaded->identity);
}

}  // namespace vela
