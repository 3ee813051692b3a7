#pragma once

// The desktop module's only entry point. The agent's executable links no display or
// media library; the module that does is embedded in it and loaded on demand
// (desktop/host/desktop_module.h). Everything the agent asks of the screen goes
// through this interface, whose objects the module creates. Thread-safe.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/onboarding.h"
#include "desktop/input/input_injector.h"
#include "desktop/screen_capturer.h"
#include "desktop/screen_types.h"
#include "desktop/quick_assist_windows.h"
#include "desktop/desktop_consenting.h"
#include "desktop/desktop_indicating.h"
#include "desktop/desktop_peer.h"
#include "desktop/desktop_recording.h"
#include "desktop/desktop_video_input.h"

namespace vela {

// One session's media: frames go into `video`, the encoder whose pictures the recording
// and the peer's connections take.
struct DesktopSessionMedia {
  std::shared_ptr<DesktopPeer> peer;
  std::shared_ptr<DesktopRecording> recording;
  std::shared_ptr<DesktopVideoInput> video;
};

class DesktopBackend {
 public:
  virtual ~DesktopBackend() = default;
  virtual ScreenPermissions::Summary screenPermissions() = 0;
  virtual std::vector<Displays::Info> activeDisplays() = 0;
  virtual std::shared_ptr<ScreenCapturer> makeScreenCapturer(ScreenCapturer::Config config) = 0;
  // The session encoder at `fps` with nothing behind it but a tally. Fails with
  // "H.264 encoder pipeline failed to start (<why>)".
  virtual Result<std::shared_ptr<DesktopEncodingCheck>, std::string> makeEncodingCheck(int fps) = 0;
  virtual Result<DesktopSessionMedia, std::string> makeSessionMedia(const std::string& recordingDirectory) = 0;
  virtual std::shared_ptr<DesktopIndicating> indicator() = 0;
  virtual std::shared_ptr<DesktopConsenting> consent() = 0;
  // Posts the operator's input on this display, or nullptr (logged) when it cannot.
  virtual std::unique_ptr<InputInjector> makeInputInjector() = 0;
  // Serves the sessions a root daemon relays over `socketPath` (the `desktop-agent`
  // command) on the calling thread, which must be the main one; the exit status.
  virtual int runSessionHelper(const std::string& socketPath) {
    (void)socketPath;
    return 1;
  }
  // The quick-assist windows, or nullptr when this process can show no window.
  virtual std::shared_ptr<QuickAssistWindows> quickAssistWindows() = 0;
  // The first-start windows on this display, or nullptr when the module has none.
  virtual OnboardingWindows* onboardingWindows() { return nullptr; }
};

}  // namespace vela

// The module's exported symbol. Both sides are built from one tree, so C++ types may
// cross; the ABI number and version guard against a module from another build.
extern "C" {

inline constexpr std::uint32_t kVelaDesktopABI = 2;

struct VelaDesktopHost {
  std::uint32_t abi;
  bool verbose;
  // The executable's logger; the module's lines go there (one log file, one journal).
  void (*log)(int level, const char* message, std::size_t size);
};

struct VelaDesktopModule {
  std::uint32_t abi;
  const char* version;
  vela::DesktopBackend* backend;  // lives as long as the process
};

using VelaDesktopEntry = const VelaDesktopModule* (*)(const VelaDesktopHost* host);
inline constexpr const char* kVelaDesktopEntryName = "vela_desktop_module_v1";
}
