#pragma once

// One child process on a pseudo-terminal and the master side of that terminal.
// Thread-safe: write, resize, terminate and isRunning may be called from any thread.
// Reading runs on its own thread ("vela.pty.read"), which alone closes the master once
// the child side is gone or terminate() asked it to stop, so a descriptor number is
// never reused under a reader still holding it.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "util/agent_error.h"
#include "util/bytes.h"
#include "util/mutex.h"

namespace vela {

class PTYSession : public std::enable_shared_from_this<PTYSession> {
 public:
  class PTYError {
   public:
    enum class Kind { spawnFailed };
    static PTYError spawnFailed() { return PTYError(); }
    Kind kind() const { return Kind::spawnFailed; }
    std::string description() const { return "failed to spawn PTY (forkpty)"; }
    bool operator==(const PTYError&) const = default;
  };

  struct Exit {
    std::optional<int> code;
    std::optional<int> signal;
    bool operator==(const Exit&) const = default;
  };

  using OutputHandler = std::function<void(Bytes)>;
  using ExitHandler = std::function<void(Exit)>;

  static Result<std::shared_ptr<PTYSession>, PTYError> spawn(
      const std::string& shell, const std::vector<std::string>& args,
      const std::vector<std::pair<std::string, std::string>>& extraEnv, std::uint16_t rows,
      std::uint16_t cols);
  ~PTYSession();
  PTYSession(const PTYSession&) = delete;
  PTYSession& operator=(const PTYSession&) = delete;

  // Starts the reader thread once. Output chunks (at most 8192 bytes each) and finally
  // the reaped exit are delivered on that thread.
  void startReading(OutputHandler onOutput, ExitHandler onExit);
  // A single write call; a short write is not retried.
  void write(std::span<const std::uint8_t> data);
  void resize(std::uint16_t rows, std::uint16_t cols);
  // SIGHUP to the child and hang up the terminal. Idempotent; never escalates.
  void terminate();
  bool isRunning() const;

  pid_t pid() const { return pid_; }
  int masterFD() const { return terminal_->masterFD; }

 private:
  // The descriptors and the child's pid outlive this object while the reader still
  // uses them.
  struct Terminal {
    pid_t pid = -1;
    int masterFD = -1;
    int wakeFD = -1;
    Mutex stateLock;
    bool closed GUARDED_BY(stateLock) = false;    // terminate() was called
    bool released GUARDED_BY(stateLock) = false;  // descriptors closed
    // The pid is no longer ours and may name another process.
    bool reaped GUARDED_BY(stateLock) = false;
    void release() EXCLUDES(stateLock);
    // Waits for the child's end and reaps it, so that no signal can reach a successor.
    Exit reap() EXCLUDES(stateLock);
    ~Terminal() { release(); }
  };

  PTYSession(pid_t pid, std::shared_ptr<Terminal> terminal)
      : pid_(pid), terminal_(std::move(terminal)) {}

  const pid_t pid_;
  const std::shared_ptr<Terminal> terminal_;
  std::atomic<bool> readingStarted_{false};
};

}  // namespace vela
