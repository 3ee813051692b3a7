#include "remote/desktop/desktop_session_manager.h"

namespace vela {

void DesktopSessionManager::handle(const IncomingDesktopFrame& frame) {
  const auto* open = std::get_if<IncomingDesktopFrame::Open>(&frame.payload);
  if (!open) return;
  // Without a WebRTC peer there is nothing to stream with; the session controller that
  // would use a peer is not part of this build either.
  send_(OutgoingDesktopFrame{OutgoingDesktopFrame::Error{open->sessionID, "agent has no WebRTC backend"}}
            .json());
}

}  // namespace vela
