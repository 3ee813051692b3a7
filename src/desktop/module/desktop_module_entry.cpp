// The desktop module's exported entry: the X11 and GStreamer backend behind
// DesktopBackend. Its lines go to the executable's logger (see util/log.h forwardTo).

#include "desktop/desktop_backend.h"
#include "desktop/gst_h264_encoder.h"
#include "platform/linux/x11/x11_screen.h"
#include "platform/linux/x11/x11_screen_capturer.h"
#include "util/agent_version.h"
#include "util/log.h"

namespace vela {
namespace {

class LinuxDesktopBackend final : public DesktopBackend {
 public:
  ScreenPermissions::Summary screenPermissions() override { return x11::screenPermissions(); }
  std::vector<Displays::Info> activeDisplays() override { return x11::activeDisplays(); }
  std::shared_ptr<ScreenCapturer> makeScreenCapturer(ScreenCapturer::Config config) override {
    return X11ScreenCapturer::create(config);
  }
  Result<std::shared_ptr<H264Encoder>, EncoderError> makeH264Encoder(H264Encoder::Config config) override {
    auto encoder = GstH264Encoder::create(config);
    if (!encoder) return tl::unexpected(encoder.error());
    return std::shared_ptr<H264Encoder>(*encoder);
  }
  std::shared_ptr<DesktopPeer> makePeer() override { return nullptr; }
  Result<DesktopSessionMedia, std::string> makeSessionMedia(const std::string&) override {
    return tl::unexpected(std::string("agent has no WebRTC backend"));
  }
  std::shared_ptr<DesktopIndicating> indicator() override { return nullptr; }
  std::shared_ptr<DesktopConsenting> consent() override { return nullptr; }
};

void (*hostLog)(int, const char*, std::size_t) = nullptr;

void forwardToHost(Log::Level level, std::string_view message) {
  hostLog(static_cast<int>(level), message.data(), message.size());
}

}  // namespace
}  // namespace vela

extern "C" __attribute__((visibility("default"))) const VelaDesktopModule* vela_desktop_module_v1(
    const VelaDesktopHost* host) {
  using namespace vela;
  if (!host || host->abi != kVelaDesktopABI || !host->log) return nullptr;
  static const VelaDesktopModule* module = [host] {
    hostLog = host->log;
    Log::verbose = host->verbose;
    Log::forwardTo(&forwardToHost);
    static LinuxDesktopBackend backend;
    static const VelaDesktopModule info{kVelaDesktopABI, AgentVersion::current.data(), &backend};
    return &info;
  }();
  return module;
}
