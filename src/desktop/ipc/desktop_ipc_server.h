#pragma once

// The root daemon's end of the desktop relay. It listens on a local socket that only
// the allowed user (the one at seat0) may open, accepts one helper at a time (a new one
// replaces the old) after checking the peer's uid, forwards each desktop frame to it as
// one line of our own encoding and hands to the upstream callback what its RelayGate
// lets through of the helper's lines.
//
// Threading: accepting runs on "vela.ipc.accept", the helper's lines on its channel's
// thread; forward() may be called from any thread and never blocks. `lock_` guards only
// the current channel and its gate; `lifeLock_` serialises start, stop and hand-over.

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "desktop/desktop_relaying.h"
#include "desktop/ipc/ipc_channel.h"
#include "desktop/ipc/relay_gate.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class DesktopIPCServer : public DesktopRelaying, public std::enable_shared_from_this<DesktopIPCServer> {
 public:
  static std::shared_ptr<DesktopIPCServer> create(std::string path, std::optional<uid_t> allowedUID);
  ~DesktopIPCServer() override;

  Result<void> start() EXCLUDES(lifeLock_);
  void stop() EXCLUDES(lifeLock_);
  // Gives the socket to another user: the current helper is closed and the socket is
  // made anew for `allowedUID`, so a helper of the previous user can no longer open it.
  // Also retries a socket that start() could not make.
  Result<void> handOver(std::optional<uid_t> allowedUID) EXCLUDES(lifeLock_);
  std::optional<uid_t> allowedUID() EXCLUDES(lifeLock_);

  // A frame with no helper connected, or text that is no session frame, is dropped;
  // false only while there is no socket.
  bool forward(const SessionFrame& frame) override;
  void setUpstream(std::function<void(std::string)> upstream) override;
  // Told when a helper connects (true) and when none is connected any more (false).
  void setHelperObserver(std::function<void(bool)> observer) EXCLUDES(lock_);

  const std::string& path() const { return path_; }
  bool hasHelperForTesting() EXCLUDES(lock_);

 private:
  DesktopIPCServer(std::string path, std::optional<uid_t> allowedUID)
      : path_(std::move(path)), allowedUID_(allowedUID) {}

  Result<void> handOverLocked(std::optional<uid_t> allowedUID, bool& dropped) EXCLUDES(lifeLock_);
  Result<void> listen() REQUIRES(lifeLock_);
  void shutDown() REQUIRES(lifeLock_);
  void acceptLoop(int listenFD, int wake, std::optional<uid_t> allowed);
  void acceptOne(int listenFD, std::optional<uid_t> allowed);
  void install(const std::shared_ptr<IPCChannel>& channel, const std::shared_ptr<RelayGate>& gate)
      EXCLUDES(lock_);
  void relayUp(RelayGate& gate, std::string_view line) EXCLUDES(lock_);
  std::shared_ptr<IPCChannel> takeChannel() EXCLUDES(lock_);

  const std::string path_;

  Mutex lifeLock_;
  std::optional<uid_t> allowedUID_ GUARDED_BY(lifeLock_);
  bool wanted_ GUARDED_BY(lifeLock_) = false;  // between start() and stop()
  int listenFD_ GUARDED_BY(lifeLock_) = -1;
  int wake_ GUARDED_BY(lifeLock_) = -1;
  std::thread acceptThread_ GUARDED_BY(lifeLock_);
  // Whether the last attempt to make the socket succeeded; read without lifeLock_ so
  // that forward() never waits for a hand-over.
  std::atomic<bool> serving_{false};

  Mutex lock_;
  std::shared_ptr<IPCChannel> channel_ GUARDED_BY(lock_);
  std::shared_ptr<RelayGate> gate_ GUARDED_BY(lock_);  // channel_'s
  std::function<void(std::string)> upstream_ GUARDED_BY(lock_);
  std::function<void(bool)> helperObserver_ GUARDED_BY(lock_);
  void notifyHelper(bool connected) EXCLUDES(lock_);
};

}  // namespace vela
