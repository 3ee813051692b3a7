#pragma once

// The console a person may be sitting at: standard input and output. Prompts go
// through this interface so tests can answer them without a real terminal.

#include <optional>
#include <string>
#include <string_view>

namespace vela::platform {

class Terminal {
 public:
  virtual ~Terminal() = default;

  // True when both standard input and standard output are terminals.
  virtual bool isInteractive() = 0;
  // Writes the text to standard output unbuffered.
  virtual void write(std::string_view text) = 0;
  // One line without its line feed (and without a carriage return before it);
  // absent at end of input or on a read error.
  virtual std::optional<std::string> readLine() = 0;
};

// The process's own standard input and output.
Terminal& standardTerminal();

// Writes the text to standard output, unbuffered, ignoring failures.
void writeStandardOutput(std::string_view text);

}  // namespace vela::platform
