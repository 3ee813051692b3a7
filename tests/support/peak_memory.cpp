#include "support/peak_memory.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace vela::testing {
namespace {

// A gzip stream of `size` bytes repeating `piece`, deflated one piece at a time so that
// a large size never sits in memory whole.
std::string gzipRepeated(std::string_view piece, std::size_t size) {
  z_stream z{};
  // 16 + 15 window bits asks for the gzip wrapper.
  if (deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::vector<unsigned char> chunk(1 << 16);
  std::string out;
  int rc = Z_OK;
  std::size_t left = size;
  do {
    std::size_t n = std::min(left, piece.size());
    left -= n;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = chunk.data();
      z.avail_out = static_cast<uInt>(chunk.size());
      rc = deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
      out.append(reinterpret_cast<char*>(chunk.data()), chunk.size() - z.avail_out);
    } while (z.avail_out == 0);
  } while (left > 0);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

}  // namespace

void resetPeakRSS() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::uint64_t peakRSSBytes() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;  // kB
  }
  return 0;
}

std::string gzipOfZeros(std::size_t size) { return gzipRepeated(std::string(1 << 20, '\0'), size); }

std::string gzip(std::string_view data) { return gzipRepeated(data, data.size()); }

}  // namespace vela::testing
