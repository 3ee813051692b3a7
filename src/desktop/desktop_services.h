#pragma once

// What the desktop module offers the rest of the agent, in small parts: the capture
// backend for this session, the media, the windows, and the per-user session helper.
// The agent's executable links no display or media library; the module that does is
// embedded in it and loaded on demand (desktop/host/desktop_module.h), and everything
// the agent asks of the screen goes through these parts, which live as long as the
// process.

#include <cstddef>
#include <cstdint>
#include <string>

#include "desktop/desktop_media.h"
#include "desktop/desktop_screen.h"
#include "desktop/desktop_windows.h"

namespace vela {

// The unlisted first argument that starts the executable as a window host.
inline constexpr const char* kWindowHostCommand = "--window-host";

struct DesktopServices {
  DesktopScreen* screen = nullptr;
  DesktopMedia* media = nullptr;
  DesktopWindows* windows = nullptr;
  // Serves the sessions a root daemon relays over `socketPath` (the `desktop-agent`
  // command) on the calling thread, which must be the main one; the exit status.
  int (*runSessionHelper)(const DesktopServices& services, const std::string& socketPath) = nullptr;
  // The kind of session this process runs in ("wayland", "x11", "tty", "unknown").
  std::string sessionType;
  // Shows the banner and consent dialog of the process that started this one, which
  // serves sessions in a Wayland session; on the main thread; the exit status.
  int (*runWindowHost)() = nullptr;
};

}  // namespace vela

// The module's exported symbol. Both sides are built from one tree, so C++ types may
// cross; the ABI number and version guard against a module from another build.
extern "C" {

inline constexpr std::uint32_t kVelaDesktopABI = 5;

struct VelaDesktopHost {
  std::uint32_t abi;
  bool verbose;
  // The executable's logger; the module's lines go there (one log file, one journal).
  void (*log)(int level, const char* message, std::size_t size);
};

struct VelaDesktopModule {
  std::uint32_t abi;
  const char* version;
  const vela::DesktopServices* services;  // lives as long as the process
};

using VelaDesktopEntry = const VelaDesktopModule* (*)(const VelaDesktopHost* host);
inline constexpr const char* kVelaDesktopEntryName = "vela_desktop_module_v1";
}
