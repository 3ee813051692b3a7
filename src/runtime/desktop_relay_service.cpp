#include "runtime/desktop_relay_service.h"

#include "util/log.h"

namespace vela {

std::unique_ptr<DesktopRelayService> DesktopRelayService::create(const std::string& path,
                                                                 std::unique_ptr<platform::ActiveSeatUser> seat) {
  auto server = DesktopIPCServer::create(path, seat->current());
  return std::make_unique<DesktopRelayService>(std::move(server), std::move(seat));
}

void DesktopRelayService::start() {
  if (auto started = server_->start(); !started) {
    Log::error("desktop IPC server failed: " + started.error().message + "; remote desktop disabled");
    return;
  }
  std::weak_ptr<DesktopIPCServer> weak = server_;
  auto watching = seat_->watch([weak](std::optional<uid_t> uid) {
    auto server = weak.lock();
    if (!server) return;
    if (auto handed = server->handOver(uid); !handed)
      Log::error("desktop IPC server failed: " + handed.error().message + "; remote desktop disabled");
  });
  if (!watching) Log::warn("desktop IPC: the socket stays with its first user: " + watching.error().message);
}

void DesktopRelayService::stop() {
  seat_->stop();
  server_->stop();
}

}  // namespace vela
