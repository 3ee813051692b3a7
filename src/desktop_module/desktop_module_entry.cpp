// The desktop module's exported entry: the X11, GStreamer and GTK backend behind
// DesktopBackend. Its lines go to the executable's logger (see util/log.h forwardTo).

#include "desktop/desktop_backend.h"
#include "desktop_module/linux_desktop_backend.h"
#include "util/agent_version.h"
#include "util/log.h"

namespace vela {
namespace {

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
    static const VelaDesktopModule info{kVelaDesktopABI, AgentVersion::current.data(), &linuxDesktopBackend()};
    return &info;
  }();
  return module;
}
