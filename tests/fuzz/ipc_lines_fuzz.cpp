// The relay's line splitter fed in reads of varying size, with a small cap on an
// unfinished line.

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "desktop/ipc/ipc_line_splitter.h"
#include "util/utf8.h"

namespace {

using vela::fuzz::check;

constexpr std::size_t kCap = 64;

std::vector<std::string> reference(std::string_view bytes) {
  std::vector<std::string> lines;
  for (auto end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n')) {
    auto line = bytes.substr(0, end);
    bytes.remove_prefix(end + 1);
    if (!line.empty() && vela::UTF8::isValid(line)) lines.emplace_back(line);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets the read size, as a socket might deliver the stream.
  std::size_t step = data[0] % 32 + 1;
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  vela::IPCLineSplitter splitter(kCap);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < input.size(); at += step) {
    splitter.feed(input.substr(at, step), [&](std::string line) {
      check(!line.empty(), "an empty line was handed on");
      check(line.find('\n') == std::string::npos, "a line holds an LF");
      check(vela::UTF8::isValid(line), "a line is not valid UTF-8");
      lines.push_back(std::move(line));
    });
    check(splitter.pending() <= kCap, "an unfinished line outgrew its cap");
  }
  if (splitter.discarded() == 0) check(lines == reference(input), "reads of another size gave other lines");
  return 0;
}
