#include "support/peak_memory.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <vector>

namespace vela::testing {
namespace {

// Compresses the chunks `next` yields until it yields an empty one.
std::string gzipChunks(const std::function<std::string_view()>& next) {
  z_stream z{};
  // 16 + 15 window bits asks for the gzip wrapper.
  if (deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::vector<unsigned char> chunk(1 << 16);
  std::string out;
  int rc = Z_OK;
  for (std::string_view piece = next();; piece = next()) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z.avail_in = static_cast<uInt>(piece.size());
    int flush = piece.empty() ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = chunk.data();
      z.avail_out = static_cast<uInt>(chunk.size());
      rc = deflate(&z, flush);
      out.append(reinterpret_cast<char*>(chunk.data()), chunk.size() - z.avail_out);
    } while (z.avail_out == 0);
    if (piece.empty()) break;
  }
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

}  // namespace

void resetPeakRSS() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
}

std::uint64_t peakRSSBytes() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;  // kB
  }
  return 0;
}

std::string gzipOfZeros(std::size_t size) {
  const std::string zeros(1 << 20, '\0');
  std::size_t left = size;
  return gzipChunks([&]() -> std::string_view {
    std::size_t n = std::min(left, zeros.size());
    left -= n;
    return std::string_view(zeros).substr(0, n);
  });
}

std::string gzip(std::string_view data) {
  bool given = false;
  return gzipChunks([&]() -> std::string_view {
    if (given) return {};
    given = true;
    return data;
  });
}

}  // namespace vela::testing
