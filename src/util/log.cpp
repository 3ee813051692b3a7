#include "util/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "util/iso_time.h"
#include "util/mutex.h"

namespace vela::Log {

std::atomic<bool> verbose{false};

namespace {

// Writes hold the lock, so a reset never closes the descriptor under a writer (nor lets
// a writer reach a reused descriptor number).
struct LogFile {
  Mutex mu;
  bool opened GUARDED_BY(mu) = false;
  int fd GUARDED_BY(mu) = -1;
};

LogFile* const logFile = new LogFile;  // never destroyed: threads may log during exit
std::atomic<Forward> forward{nullptr};
std::atomic<SystemLog> systemLog{nullptr};
std::atomic<bool> priorityPrefix{false};

// Only a named file: without an application bundle there is no default log file.
std::string logFilePath() {
  const char* env = std::getenv("VELA_LOG_FILE");
  if (env && *env) return env;
  return {};
}

void writeAll(int fd, std::string_view bytes) {
  // One write per line keeps lines whole; a short write is not retried on purpose.
  ssize_t ignored = ::write(fd, bytes.data(), bytes.size());
  (void)ignored;
}

void writeToLogFile(std::string_view line) {
  MutexLock lock(logFile->mu);
  if (!logFile->opened) {
    logFile->opened = true;
    std::string path = logFilePath();
    if (!path.empty()) logFile->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  if (logFile->fd >= 0) writeAll(logFile->fd, line);
}

}  // namespace

std::string_view rawValue(Level level) {
  switch (level) {
    case Level::debug: return "debug";
    case Level::info: return "info";
    case Level::warn: return "warn";
    case Level::error: return "error";
  }
  return "info";
}

std::string formatLine(Level level, std::string_view timestamp, std::string_view message) {
  static constexpr std::string_view kTags[] = {"DEBUG", "INFO", "WARN", "ERROR"};
  std::string line;
  line.reserve(timestamp.size() + message.size() + 12);
  line += '[';
  line += timestamp;
  line += "] ";
  line += kTags[static_cast<int>(level)];
  line += ": ";
  line += message;
  line += '\n';
  return line;
}

std::string escapeControlCharacters(std::string_view message) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(message.size());
  for (std::size_t i = 0; i < message.size(); ++i) {
    auto c = static_cast<unsigned char>(message[i]);
    auto next = i + 1 < message.size() ? static_cast<unsigned char>(message[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080 to U+009F
      out += "\\u00";
      out += kHex[next >> 4];
      out += kHex[next & 0xF];
      ++i;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void forwardTo(Forward f) { forward.store(f, std::memory_order_release); }

void copyToSystemLog(SystemLog sink) { systemLog.store(sink, std::memory_order_release); }

void prefixStandardErrorWithPriority(bool on) { priorityPrefix.store(on, std::memory_order_release); }

void emit(Level level, std::string_view raw) {
  if (Forward f = forward.load(std::memory_order_acquire)) return f(level, raw);
  std::string message = escapeControlCharacters(raw);
  if (SystemLog sink = systemLog.load(std::memory_order_acquire)) sink(level, message);
  std::string line = formatLine(level, ISOTime::now(), message);
  if (priorityPrefix.load(std::memory_order_acquire)) {
    static constexpr std::string_view kPriorities[] = {"<7>", "<6>", "<4>", "<3>"};
    writeAll(STDERR_FILENO, std::string(kPriorities[static_cast<int>(level)]) + line);
  } else {
    writeAll(STDERR_FILENO, line);
  }
  writeToLogFile(line);
}

void resetLogFileForTesting() {
  MutexLock lock(logFile->mu);
  if (logFile->fd >= 0) ::close(logFile->fd);
  logFile->fd = -1;
  logFile->opened = false;
}

}  // namespace vela::Log
