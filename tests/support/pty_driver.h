#pragma once

// Runs a program on a fresh pseudo-terminal, as if a person were typing at it: the
// child's standard input, output and error are the terminal's slave side. Reads block
// until the expected text or the end of the child's output.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vela::testing {

class PtyDriver {
 public:
  // `env` entries are added to (or, with nullopt, removed from) the test's environment.
  PtyDriver(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::optional<std::string>>& env = {});
  ~PtyDriver();
  PtyDriver(const PtyDriver&) = delete;
  PtyDriver& operator=(const PtyDriver&) = delete;

  bool started() const { return pid_ > 0; }

  void type(const std::string& text);
  // Ends input the way a person does: Ctrl-D at the start of a line.
  void typeEndOfInput() { type("\x04"); }

  // Reads until `text` appears after everything matched before; false when the child's
  // output ended first.
  bool expect(const std::string& text);
  // Reads everything up to the end of the child's output and returns its exit status.
  int wait();

  // Everything the terminal showed so far (output and echoed input).
  const std::string& transcript() const { return transcript_; }

 private:
  bool readMore();

  pid_t pid_ = -1;
  int master_ = -1;
  std::string transcript_;
  std::size_t cursor_ = 0;
  std::optional<int> status_;
};

}  // namespace vela::testing
