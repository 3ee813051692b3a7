#pragma once

// Facts shared by the status and doctor commands.

#include <optional>
#include <string>
#include <string_view>

#include "config/provisioning_info.h"

namespace vela::Diagnostics {

// What the "keychain" line shows: a root daemon on Linux has no keychain, the device
// key is a file.
inline constexpr std::string_view kKeychain = "none";

// SHA-256 (lower-case hex) of the DER of the certificate in agent.crt, when the file
// reads, decodes as PEM and parses as one certificate.
std::optional<std::string> certificateOnDiskFingerprint();
// What the program's file name and the environment would provision.
ProvisioningInfo discoverable();

}  // namespace vela::Diagnostics
