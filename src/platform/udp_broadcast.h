#pragma once

// One IPv4 UDP datagram to the limited broadcast address 255.255.255.255.

#include <cstddef>
#include <cstdint>
#include <span>

#include "util/agent_error.h"

namespace vela::platform {

// Opens a socket with SO_BROADCAST, sends `data` once to 255.255.255.255:`port` and
// closes it. Returns the number of bytes the send call reported.
Result<std::size_t> sendUDPBroadcast(std::span<const std::uint8_t> data, std::uint16_t port);

}  // namespace vela::platform
