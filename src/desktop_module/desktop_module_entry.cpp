// The desktop module's exported entry: the services behind DesktopServices, made of
// the capture backend for this session, the GStreamer media and the GTK windows. Its
// lines go to the executable's logger (see util/log.h forwardTo).

#include <cstdlib>
#include <memory>
#include <string_view>

#include "desktop/desktop_services.h"
#include "desktop/linux/portal/portal_desktop_screen.h"
#include "desktop/linux/wayland/gnome_desktop_screen.h"
#include "desktop/linux/wayland/session_type.h"
#include "desktop/linux/x11/x11_desktop_screen.h"
#include "desktop_module/linux_desktop_media.h"
#include "desktop_module/session_helper.h"
#include "desktop_module/unavailable_screen.h"
#include "desktop_module/wayland_desktop_windows.h"
#include "desktop_module/window_host.h"
#include "ui/gtk_desktop_windows.h"
#include "ui/ui_runtime.h"
#include "util/agent_version.h"
#include "util/log.h"

namespace vela {
namespace {

void (*hostLog)(int, const char*, std::size_t) = nullptr;

void forwardToHost(Log::Level level, std::string_view message) {
  hostLog(static_cast<int>(level), message.data(), message.size());
}

// The capture backends in the order they are tried; the first that serves the session
// this process runs in is used. A new backend is one folder and one line here. Under
// Wayland the X11 backend would see and drive only XWayland windows, so it never
// stands in for a missing Wayland one. The portal asks the person at the screen every
// time, so GNOME's own API goes first. VELA_DESKTOP_BACKEND names one backend outright.
struct ScreenBackend {
  const char* name;
  const char* setting;  // its VELA_DESKTOP_BACKEND value
  bool (*servesThisSession)();
  std::unique_ptr<DesktopScreen> (*make)();
};
constexpr ScreenBackend kScreenBackends[] = {
    {kGnomeBackendName, "gnome", &gnomeServesThisSession, &makeGnomeDesktopScreen},
    {kPortalBackendName, "portal", &portalServesThisSession, &makePortalDesktopScreen},
    {"x11", "x11", [] { return SessionType::decide(SessionType::ofThisProcess()) != SessionType::Kind::wayland; },
     &makeX11DesktopScreen},
};

std::unique_ptr<DesktopScreen> chooseScreen() {
  if (const char* chosen = std::getenv("VELA_DESKTOP_BACKEND"); chosen && *chosen) {
    for (const ScreenBackend& backend : kScreenBackends) {
      if (std::string_view(chosen) != backend.setting) continue;
      Log::info(std::string("desktop: capture backend ") + backend.name + " (VELA_DESKTOP_BACKEND)");
      return backend.make();
    }
    std::string why = std::string("VELA_DESKTOP_BACKEND=") + chosen + " names no capture backend (gnome, portal, x11)";
    Log::warn("desktop: " + why);
    return makeUnavailableScreen(why);
  }
  for (const ScreenBackend& backend : kScreenBackends) {
    if (!backend.servesThisSession()) continue;
    Log::debug(std::string("desktop: capture backend ") + backend.name);
    return backend.make();
  }
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  std::string why = "no capture backend serves this Wayland desktop (";
  why.append(desktop && *desktop ? desktop : "XDG_CURRENT_DESKTOP unset").append("): ").append(portalWhyUnavailable());
  Log::warn("desktop: " + why);
  return makeUnavailableScreen(why);
}

const DesktopServices& services() {
  // Never destroyed: the module's threads may still use them while the process exits.
  static const DesktopServices* made = [] {
    auto* services = new DesktopServices;
    const SessionType::Facts session = SessionType::ofThisProcess();
    const bool wayland = SessionType::decide(session) == SessionType::Kind::wayland;
    services->sessionType = SessionType::describe(session);
    services->screen = chooseScreen().release();
    services->media = makeLinuxDesktopMedia().release();
    UiRuntime::useBackend(wayland ? UiRuntime::Backend::wayland : UiRuntime::Backend::x11);
    services->windows = (wayland ? makeWaylandDesktopWindows() : makeGtkDesktopWindows()).release();
    services->runSessionHelper = &runSessionHelper;
    services->runWindowHost = &runWindowHost;
    return services;
  }();
  return *made;
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
    static const VelaDesktopModule info{kVelaDesktopABI, AgentVersion::current.data(), &services()};
    return &info;
  }();
  return module;
}
