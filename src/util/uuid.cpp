#include "util/uuid.h"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>

namespace vela {

std::string randomUUID() {
  std::array<std::uint8_t, 16> b{};
  if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) {
    // The generator only fails when the system has no entropy at all; a file name
    // still needs to be unique, which the standard engine manages.
    std::random_device device;
    for (auto& byte : b) byte = static_cast<std::uint8_t>(device());
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

}  // namespace vela
