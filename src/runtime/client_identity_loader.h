#pragma once

// The stored mTLS identity (issued certificate + device key) in the form the
// transports take, when one is stored.

#include <optional>

#include "net/tls_objects.h"

namespace vela {

std::optional<ClientIdentity> loadStoredClientIdentity();

}  // namespace vela
