#pragma once

// The one logger. Each line "[<UTC time>] <LEVEL>: <message>\n" goes to standard
// error, to the system log, and to the log file when one is configured. Any thread may
// log; every destination receives a line in one write, so lines never interleave.
// The log file (VELA_LOG_FILE) is capped: past kLogFileLimit it becomes "<file>.1",
// replacing the previous one, and a new file starts.

#include <atomic>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace vela::Log {

enum class Level { debug, info, warn, error };

inline constexpr std::uint64_t kLogFileLimit = 10 * 1024 * 1024;

std::string_view rawValue(Level level);  // "debug", "info", "warn", "error"

// Debug lines are neither built nor written unless verbose is set.
extern std::atomic<bool> verbose;

void emit(Level level, std::string_view message);
// The message with every control character (C0, DEL and the C1 range) written as a
// visible escape such as "\n" or "\x1B", so that a value from the network can neither
// start a forged line nor drive a terminal. emit() applies it to every message.
std::string escapeControlCharacters(std::string_view message);
// Builds the line (with its trailing line feed) for a given time stamp text.
std::string formatLine(Level level, std::string_view timestamp, std::string_view message);

template <typename F>
  requires std::invocable<F>
void debug(F&& makeMessage) {
  if (verbose.load(std::memory_order_relaxed)) emit(Level::debug, std::forward<F>(makeMessage)());
}
inline void debug(std::string_view message) {
  if (verbose.load(std::memory_order_relaxed)) emit(Level::debug, message);
}
inline void info(std::string_view message) { emit(Level::info, message); }
inline void warn(std::string_view message) { emit(Level::warn, message); }
inline void error(std::string_view message) { emit(Level::error, message); }

// A module loaded into the process (the desktop module) carries its own copy of this
// logger; forwarding its lines to the executable's keeps one log file and one journal
// stream. Set once, before the module logs.
using Forward = void (*)(Level level, std::string_view message);
void forwardTo(Forward forward);

// The system log (journald) is reached through the platform layer, which sits above
// this one: the process entry connects it before anything logs. Until then lines go to
// standard error and the log file only.
using SystemLog = void (*)(Level level, std::string_view message);
void copyToSystemLog(SystemLog sink);

// When the journal reads standard error itself, each line there starts with its syslog
// priority ("<4>" for a warning); the journal takes the prefix off and keeps the level.
void prefixStandardErrorWithPriority(bool on);
// That prefix for a line written to standard error other than through the logger (the
// command line's "error: ..."); empty unless the journal reads standard error.
std::string_view standardErrorPrefix(Level level);

// Forgets the opened log file so the next line re-evaluates VELA_LOG_FILE, and sets the
// size at which it is rotated.
void resetLogFileForTesting(std::uint64_t limit = kLogFileLimit);

}  // namespace vela::Log
