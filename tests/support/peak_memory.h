#pragma once

// The test process's peak resident set (VmHWM), and a reset of that peak, so a test can
// measure what one operation cost in memory.

#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>

namespace vela::testing {

// Resets the peak to the current resident set (Linux 4.0 and later).
void resetPeakRSS();
std::uint64_t peakRSSBytes();

// A gzip stream of `size` zero bytes: about a thousandth of that on the wire.
std::string gzipOfZeros(std::size_t size);
std::string gzip(std::string_view data);

}  // namespace vela::testing
