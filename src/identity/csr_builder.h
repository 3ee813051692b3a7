#pragma once

// Builds the PKCS#10 certificate request that enrolment sends: subject CN only (as a
// UTF8String), the device key's SPKI, no attributes, signed ECDSA-with-SHA256 by the
// device key. Stateless; thread-safe as far as the key is.

#include <string>
#include <string_view>

#include "identity/device_key.h"

namespace vela::CSRBuilder {

Result<Bytes> makeCSRDER(std::string_view commonName, const DeviceKey& key);
// The same request as "CERTIFICATE REQUEST" PEM.
Result<std::string> makeCSRPEM(std::string_view commonName, const DeviceKey& key);

}  // namespace vela::CSRBuilder
