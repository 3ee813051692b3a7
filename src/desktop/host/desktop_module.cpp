#include "desktop/host/desktop_module.h"

#include <cstdlib>
#include <mutex>
#include <span>

#include "platform/module_image.h"
#include "util/agent_version.h"
#include "util/log.h"

#ifdef VELA_DESKTOP_EMBEDDED
extern "C" const std::uint8_t vela_desktop_module_start[];
extern "C" const std::uint8_t vela_desktop_module_end[];
#endif

namespace vela::DesktopModule {
namespace {

constexpr std::string_view kPrefix = "remote desktop unavailable: ";

void hostLog(int level, const char* message, std::size_t size) {
  Log::emit(static_cast<Log::Level>(level), std::string_view(message, size));
}

std::string describe(const platform::ModuleLoadError& error) {
  if (error.missingLibrary)
    return std::string(kPrefix) + *error.missingLibrary +
           " is not installed (the desktop module needs the X11, GStreamer and GTK 3 libraries)";
  return std::string(kPrefix) + "cannot load the desktop module (" + error.message + ")";
}

Result<platform::LoadedModule, platform::ModuleLoadError> loadImage() {
  if (const char* path = std::getenv(kOverrideVariable); path && *path) return platform::loadModuleFile(path);
#ifdef VELA_DESKTOP_EMBEDDED
  return platform::loadModuleImage(
      std::span<const std::uint8_t>(vela_desktop_module_start, vela_desktop_module_end), "vela-desktop-module");
#else
  return tl::unexpected(platform::ModuleLoadError{"built without desktop support", {}});
#endif
}

Result<const DesktopServices*> load() {
#ifndef VELA_DESKTOP_EMBEDDED
  if (!std::getenv(kOverrideVariable))
    return fail(std::string(kPrefix) + "this build has no desktop support (configured with VELA_DESKTOP=OFF)");
#endif
  auto module = loadImage();
  if (!module) return fail(describe(module.error()));
  auto entry = reinterpret_cast<VelaDesktopEntry>(platform::moduleSymbol(*module, kVelaDesktopEntryName));
  if (!entry) return fail(std::string(kPrefix) + "the desktop module has no entry point");
  VelaDesktopHost host{kVelaDesktopABI, Log::verbose.load(), &hostLog};
  const VelaDesktopModule* info = entry(&host);
  if (!info || info->abi != kVelaDesktopABI || !info->version || info->version != AgentVersion::current)
    return fail(std::string(kPrefix) + "the desktop module (" + (info && info->version ? info->version : "?") +
                ") does not match this agent (" + std::string(AgentVersion::current) + ")");
  if (!info->services) return fail(std::string(kPrefix) + "the desktop module offers no services");
  Log::debug("desktop: module loaded");
  return info->services;
}

}  // namespace

Result<const DesktopServices*> services() {
  static std::once_flag once;
  static Result<const DesktopServices*>* outcome = nullptr;  // never destroyed: module threads outlive exit
  std::call_once(once, [] { outcome = new Result<const DesktopServices*>(load()); });
  return *outcome;
}

std::function<const DesktopServices*()> servicesProvider() {
  return []() -> const DesktopServices* {
    auto loaded = services();
    if (loaded) return *loaded;
    static std::once_flag reported;
    std::call_once(reported, [&] { Log::error(loaded.error().message); });
    return nullptr;
  };
}

}  // namespace vela::DesktopModule
