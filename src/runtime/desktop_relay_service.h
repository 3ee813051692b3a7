#pragma once

// The root daemon's side of remote desktop: the relay socket for the helper of the user
// at seat0. It follows that user: when another one becomes active the socket is handed
// over to them. A socket that cannot be made leaves the daemon running without desktop
// support. start() and stop() come from the runtime's thread; seat changes arrive on
// the watcher's thread and serialise on the server.

#include <memory>

#include "platform/active_seat_user.h"
#include "desktop/ipc/desktop_ipc_server.h"
#include "runtime/agent_runtime.h"

namespace vela {

class DesktopRelayService : public RuntimeService {
 public:
  DesktopRelayService(std::shared_ptr<DesktopIPCServer> server, std::unique_ptr<platform::ActiveSeatUser> seat)
      : server_(std::move(server)), seat_(std::move(seat)) {}
  // Binds to the seat's current user.
  static std::unique_ptr<DesktopRelayService> create(const std::string& path,
                                                      std::unique_ptr<platform::ActiveSeatUser> seat);

  void start() override;
  void stop() override;
  const std::shared_ptr<DesktopIPCServer>& server() const { return server_; }

 private:
  const std::shared_ptr<DesktopIPCServer> server_;
  const std::unique_ptr<platform::ActiveSeatUser> seat_;
};

}  // namespace vela
