#pragma once

// One end of the desktop relay: a connected local socket carrying LF-terminated UTF-8
// lines. Reading and writing run on the channel's own thread ("vela.ipc.channel"); the
// owner sets onLine and onClose before resume(), and both run on that thread. send()
// never blocks its caller: lines wait in a bounded outbox (lines that would overflow it
// are dropped), so a peer that stops reading costs at most that much memory. cancel()
// or the peer hanging up closes the socket, then calls onClose once.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "desktop/ipc/ipc_line_splitter.h"
#include "util/mutex.h"
#include "util/serial_queue.h"

namespace vela {

class IPCChannel : public std::enable_shared_from_this<IPCChannel> {
 public:
  static constexpr std::size_t kReadSize = 16384;
  static constexpr std::size_t kMaxOutbox = 8 * 1024 * 1024;

  // Takes ownership of `fd` (non-blocking).
  static std::shared_ptr<IPCChannel> create(int fd);
  ~IPCChannel();
  IPCChannel(const IPCChannel&) = delete;
  IPCChannel& operator=(const IPCChannel&) = delete;

  std::function<void(std::string)> onLine;
  std::function<void()> onClose;

  void resume();
  void send(std::string_view line);
  void cancel();
  // Waits (bounded) until onClose has run; false on timeout.
  bool waitClosed(std::chrono::milliseconds limit);

  std::size_t droppedForTesting() const { return dropped_; }

 private:
  explicit IPCChannel(int fd, int wake) : fd_(fd), wake_(wake) {}
  void run();
  bool readAvailable();
  bool writePending();
  void wake();

  const int fd_;
  const int wake_;
  std::atomic<bool> cancelled_{false};
  std::atomic<std::size_t> dropped_{0};
  Semaphore closed_;

  Mutex lock_;
  std::string outbox_ GUARDED_BY(lock_);

  // Touched only on the channel thread: the lines being written, taken from the outbox.
  std::string writing_;
  std::size_t written_ = 0;
  IPCLineSplitter splitter_;
};

}  // namespace vela
