#pragma once

// What tests and benchmarks read from a peer that the desktop module made: they see
// only DesktopPeer and reach this with dynamic_cast.

#include <cstdint>
#include <optional>

namespace vela {

class PeerIntrospection {
 public:
  // The live encoder's bitrate in kbit/s; nothing without a connection.
  virtual std::optional<std::uint32_t> encoderBitrateKbpsForTesting() const = 0;
  // Pictures the current connection's encoder has handed to this connection.
  virtual std::uint64_t framesEncodedForTesting() const = 0;

 protected:
  ~PeerIntrospection() = default;
};

}  // namespace vela
