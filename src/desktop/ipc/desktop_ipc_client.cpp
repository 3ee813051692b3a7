#include "desktop/ipc/desktop_ipc_client.h"

#include "platform/unix_socket.h"

namespace vela {

Result<void> DesktopIPCClient::connect() {
  int fd = VELA_TRY(platform::connectUnix(path_));
  auto channel = IPCChannel::create(fd);
  if (!channel) return fail("ipc connect failed: no event descriptor");
  channel->onLine = onLine;
  channel->onClose = onClose;
  std::shared_ptr<IPCChannel> older;
  {
    MutexLock guard(lock_);
    older = std::exchange(channel_, channel);
  }
  if (older) older->cancel();
  channel->resume();
  return {};
}

void DesktopIPCClient::send(const std::string& line) {
  std::shared_ptr<IPCChannel> channel;
  {
    MutexLock guard(lock_);
    channel = channel_;
  }
  if (channel) channel->send(line);
}

void DesktopIPCClient::close() {
  std::shared_ptr<IPCChannel> channel;
  {
    MutexLock guard(lock_);
    channel = std::exchange(channel_, nullptr);
  }
  if (channel) channel->cancel();
}

}  // namespace vela
