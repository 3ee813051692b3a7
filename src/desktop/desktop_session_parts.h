#pragma once

// Everything one desktop session needs from the desktop module but its configuration:
// the media (peer and recording), the capturer, the injector and the display list, and
// for a session the agent shows itself, the banner and the consent dialog. Used by every
// kind of session, so the operator reads the same reasons whichever started it.

#include <string>

#include "desktop/desktop_services.h"
#include "desktop/desktop_session_controller.h"
#include "desktop/recording_store.h"
#include "util/agent_error.h"

namespace vela {

struct SessionPartsRequest {
  // The recording goes there, after the folder's retention made room for it.
  RecordingPlace recordings;
  bool withWindows = true;  // false when the caller shows its own banner
};

// Fails with the text the operator is sent: the media's reason, "agent has no WebRTC
// backend" or "capture failed: no screen capturer".
Result<DesktopSessionController::Parts, std::string> makeSessionParts(const DesktopServices& services,
                                                                      const SessionPartsRequest& request);

}  // namespace vela
