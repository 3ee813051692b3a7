#pragma once

// The desktop helper's end of the relay: connects to the daemon's socket and exchanges
// lines with it. Set onLine and onClose before connect(); they run on the channel's
// thread. send() drops the line while not connected. Thread-safe.

#include <functional>
#include <memory>
#include <string>

#include "desktop/ipc/ipc_channel.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class DesktopIPCClient {
 public:
  explicit DesktopIPCClient(std::string path) : path_(std::move(path)) {}
  ~DesktopIPCClient() { close(); }
  DesktopIPCClient(const DesktopIPCClient&) = delete;
  DesktopIPCClient& operator=(const DesktopIPCClient&) = delete;

  std::function<void(std::string)> onLine;
  std::function<void()> onClose;

  Result<void> connect() EXCLUDES(lock_);
  void send(const std::string& line) EXCLUDES(lock_);
  void close() EXCLUDES(lock_);

 private:
  const std::string path_;
  Mutex lock_;
  std::shared_ptr<IPCChannel> channel_ GUARDED_BY(lock_);
};

}  // namespace vela
