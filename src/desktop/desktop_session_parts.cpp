#include "desktop/desktop_session_parts.h"

#include "desktop/retained_recording.h"

namespace vela {

Result<DesktopSessionController::Parts, std::string> makeSessionParts(const DesktopServices& services,
                                                                      const SessionPartsRequest& request) {
  constexpr const char* kNoWebRTC = "agent has no WebRTC backend";
  if (!services.media || !services.screen) return tl::unexpected(std::string(kNoWebRTC));
  auto media = services.media->makeSessionMedia(request.recordings.directory);
  if (!media) return tl::unexpected(media.error());
  if (!media->peer || !media->recording || !media->video) return tl::unexpected(std::string(kNoWebRTC));

  DesktopSessionController::Parts parts;
  parts.capturer = services.screen->makeCapturer({DesktopSessionController::kFps, true});
  if (!parts.capturer) return tl::unexpected(std::string("capture failed: no screen capturer"));
  parts.peer = std::move(media->peer);
  parts.video = std::move(media->video);
  parts.recorder = std::make_shared<RetainedRecording>(std::move(media->recording), request.recordings);
  parts.injector = services.screen->makeInjector(parts.capturer);
  parts.clipboard = services.screen->makeClipboard();
  DesktopScreen* screen = services.screen;
  parts.displays = [screen] { return screen->displays(); };
  if (request.withWindows && services.windows) {
    parts.indicator = services.windows->indicator();
    parts.consent = services.windows->consent();
  }
  return parts;
}

}  // namespace vela
