#include "util/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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
  std::string path GUARDED_BY(mu);
  std::uint64_t limit GUARDED_BY(mu) = kLogFileLimit;
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

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

int openLogFile(const std::string& path) {
  // Never through a link: the daemon runs as root, and the folder may not be its own.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
  // Standard error redirected into the same file already carries every line.
  struct stat file, err;
  if (fd >= 0 && ::fstat(fd, &file) == 0 && ::fstat(STDERR_FILENO, &err) == 0 && sameFile(file, err)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A full file becomes "<path>.1", replacing the previous one, so the log never takes
// more than twice the limit. Another process appending to the same path may have
// rotated it first; then the descriptor only follows it to the new file.
void rotateIfFull(LogFile& log, std::size_t incoming) REQUIRES(log.mu) {
  struct stat written;
  if (::fstat(log.fd, &written) != 0 || !S_ISREG(written.st_mode) || written.st_size == 0 ||
      static_cast<std::uint64_t>(written.st_size) + incoming <= log.limit) {
    return;
  }
  struct stat named;
  if (::stat(log.path.c_str(), &named) == 0 && sameFile(written, named)) {
    // Should the rename fail, the file keeps growing rather than losing lines.
    if (std::rename(log.path.c_str(), (log.path + ".1").c_str()) != 0) return;
  }
  ::close(log.fd);
  log.fd = openLogFile(log.path);
}

void writeToLogFile(std::string_view line) {
  MutexLock lock(logFile->mu);
  if (!logFile->opened) {
    logFile->opened = true;
    logFile->path = logFilePath();
    if (!logFile->path.empty()) logFile->fd = openLogFile(logFile->path);
  }
  if (logFile->fd < 0) return;
  rotateIfFull(*logFile, line.size());
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

std::string_view standardErrorPrefix(Level level) {
  static constexpr std::string_view kPriorities[] = {"<7>", "<6>", "<4>", "<3>"};
  if (!priorityPrefix.load(std::memory_order_acquire)) return {};
  return kPriorities[static_cast<int>(level)];
}

void emit(Level level, std::string_view raw) {
  if (Forward f = forward.load(std::memory_order_acquire)) return f(level, raw);
  std::string message = escapeControlCharacters(raw);
  if (SystemLog sink = systemLog.load(std::memory_order_acquire)) sink(level, message);
  std::string line = formatLine(level, ISOTime::now(), message);
  writeAll(STDERR_FILENO, std::string(standardErrorPrefix(level)) + line);
  writeToLogFile(line);
}

void resetLogFileForTesting(std::uint64_t limit) {
  MutexLock lock(logFile->mu);
  if (logFile->fd >= 0) ::close(logFile->fd);
  logFile->fd = -1;
  logFile->opened = false;
  logFile->limit = limit;
}

}  // namespace vela::Log
