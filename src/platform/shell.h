#pragma once

// The one way to run an external program: no shell in between, arguments passed as
// given, optional standard input, optional replacement of the whole environment, both
// output streams drained concurrently, and a time limit enforced on the program's own
// process group (what it started included) with SIGTERM, a two-second grace period and
// SIGKILL. The program starts clean as platform/child_process.h describes. Each stream
// keeps only its last kMaxCapturedBytes, read incrementally, however much the program
// writes. Problems are reported in the result, never raised. Calls are independent and
// may run from several threads at once.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/cancellation.h"

namespace vela::Shell {

// Output kept per stream: a program writing without end must not grow the agent.
inline constexpr std::size_t kMaxCapturedBytes = 1024 * 1024;
// What standard error begins with when a program could not be started.
inline constexpr std::string_view kSpawnFailed = "spawn failed: ";

struct Result {
  // Exit status of a normal exit; the signal number when a signal ended the program;
  // -1 when it could not be started.
  int exitCode = -1;
  std::string stdout;  // empty when the bytes are not valid UTF-8
  std::string stderr;  // likewise; kSpawnFailed + the reason when it could not start
  bool timedOut = false;
  // Leading bytes of each stream let go to stay within kMaxCapturedBytes.
  std::uint64_t stdoutDropped = 0;
  std::uint64_t stderrDropped = 0;
  bool interrupted = false;  // ended early because `cancel` fired
};

// `path` is the executable (absolute); `arguments` exclude the program name. With
// `stdin` absent the child reads end of file at once. `environment`, when given,
// replaces the child's environment entirely (an empty map means no variables).
// Blocks until the child has ended and both streams are collected. Output held open
// by the child's own children is collected only until shortly after the deadline.
// `cancel` firing ends the child like the deadline does.
Result run(const std::string& path, const std::vector<std::string>& arguments,
           const std::optional<std::string>& stdin = std::nullopt, double timeout = 30,
           const std::optional<std::map<std::string, std::string>>& environment = std::nullopt,
           const Cancellation* cancel = nullptr);

// `run` without input and environment; standard output when the exit status is 0.
std::optional<std::string> runQuiet(const std::string& path,
                                    const std::vector<std::string>& arguments,
                                    double timeout = 30);

// The text itself when it is valid UTF-8, else the empty text.
std::string utf8OrEmpty(std::string bytes);

}  // namespace vela::Shell
