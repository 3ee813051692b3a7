#include "desktop_module/linux_desktop_media.h"

#include <filesystem>
#include <mutex>
#include <optional>

#include "desktop/linux/media/encoding_check.h"
#include "desktop/linux/media/gst_runtime.h"
#include "desktop/linux/media/shared_encoder.h"
#include "desktop/linux/recording/desktop_recorder.h"
#include "desktop/linux/recording/shared_recording.h"
#include "util/log.h"

#ifdef VELA_HAVE_WEBRTC
#include "desktop/linux/webrtc/desktop_peer_factory.h"
#include "desktop/linux/webrtc/gst_webrtc_peer.h"
#endif

namespace vela {
namespace {

// Why this machine cannot make WebRTC peers; nothing when it can. Asked once.
const std::optional<std::string>& peerUnavailable() {
  static std::once_flag once;
  static std::optional<std::string>* why = nullptr;  // never destroyed: read by late threads
  std::call_once(once, [] {
#ifdef VELA_HAVE_WEBRTC
    auto ready = SharedEncoder::requireElements();
    if (ready) ready = GstRuntime::requireElements(DesktopPeerFactory::kElements);
    why = new std::optional<std::string>(ready ? std::nullopt : std::optional(ready.error().message));
#else
    why = new std::optional<std::string>("this build has no WebRTC peer");
#endif
    if (*why) Log::error("desktop: no WebRTC backend: " + **why);
  });
  return *why;
}

constexpr const char* kNoWebRTC = "agent has no WebRTC backend";

class LinuxDesktopMedia final : public DesktopMedia {
 public:
  Result<std::shared_ptr<DesktopEncodingCheck>, std::string> makeEncodingCheck(int fps) override {
    auto check = EncodingCheck::create(fps);
    if (!check) return tl::unexpected(check.error().message);
    return std::shared_ptr<DesktopEncodingCheck>(*check);
  }

  Result<DesktopSessionMedia, std::string> makeSessionMedia(const std::string& recordingDirectory) override {
    // The reason was logged once; the operator sees the wire text.
    if (peerUnavailable()) return tl::unexpected(std::string(kNoWebRTC));
#ifdef VELA_HAVE_WEBRTC
    if (auto muxing = GstRuntime::requireElements({"mp4mux", "filesink"}); !muxing) {
      return tl::unexpected(muxing.error().message);
    }
    auto encoder = SharedEncoder::create();
    if (!encoder) return tl::unexpected(std::string("session encoder: ").append(encoder.error().message));
    std::optional<std::filesystem::path> directory;
    if (!recordingDirectory.empty()) directory = recordingDirectory;
    auto recording = DesktopRecorder::create(
        directory, [encoder = *encoder](const std::string& path, int width,
                                        int height) -> Result<std::shared_ptr<RecordingSink>> {
          return SharedRecording::create(encoder, path, width, height);
        });
    return DesktopSessionMedia{GstWebRTCPeer::create(*encoder), std::move(recording), *encoder};
#else
    return tl::unexpected(std::string(kNoWebRTC));
#endif
  }

};

}  // namespace

std::unique_ptr<DesktopMedia> makeLinuxDesktopMedia() { return std::make_unique<LinuxDesktopMedia>(); }

}  // namespace vela
