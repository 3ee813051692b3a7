#include "platform/terminal.h"

#include <unistd.h>

#include <cerrno>

namespace vela::platform {
namespace {

class StandardTerminal final : public Terminal {
 public:
  bool isInteractive() override { return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1; }

  void write(std::string_view text) override { writeStandardOutput(text); }

  // Reads byte by byte so nothing past the line is consumed from a shared input.
  std::optional<std::string> readLine() override {
    std::string line;
    for (;;) {
      char c;
      ssize_t n = ::read(STDIN_FILENO, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // A last line without a line feed still counts as an answer.
        if (line.empty()) return std::nullopt;
        break;
      }
      if (c == '\n') break;
      line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
};

}  // namespace

Terminal& standardTerminal() {
  static StandardTerminal terminal;
  return terminal;
}

void writeStandardOutput(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace vela::platform
