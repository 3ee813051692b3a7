#include "runtime/desktop_relay_service.h"

#include "util/log.h"

namespace vela {

std::unique_ptr<DesktopRelayService> DesktopRelayService::create(const std::string& path,
                                                                 std::unique_ptr<platform::ActiveSeatUser> seat) {
  auto server = DesktopIPCServer::create(path, seat->current());
  return std::make_unique<DesktopRelayService>(std::move(server), std::move(seat));
}

namespace {

void handOver(DesktopIPCServer& server, std::optional<uid_t> uid) {
  if (auto handed = server.handOver(uid); !handed)
    Log::warn("desktop IPC server failed: " + handed.error().message + "; remote desktop disabled");
}

}  // namespace

void DesktopRelayService::start() {
  if (auto started = server_->start(); !started)
    Log::warn("desktop IPC server failed: " + started.error().message + "; remote desktop disabled");
  // A later change of user tries again, so a failed start is not final.
  std::weak_ptr<DesktopIPCServer> weak = server_;
  auto watching = seat_->watch([weak](std::optional<uid_t> uid) {
    if (auto server = weak.lock()) handOver(*server, uid);
  });
  if (!watching) {
    Log::warn("desktop IPC: the socket stays with its first user: " + watching.error().message);
    return;
  }
  // The seat may have changed hands before the watch began.
  if (auto now = seat_->current(); now != server_->allowedUID()) handOver(*server_, now);
}

void DesktopRelayService::stop() {
  seat_->stop();
  server_->stop();
}

}  // namespace vela
