#pragma once

// The desktop module, loaded on first use. It travels inside the executable (its bytes
// are embedded at build time) so a self-update still swaps one file, and only the
// processes that serve the screen ever map the display and media libraries it needs.
// On a machine without them, services() fails with one message naming what is missing.
// Thread-safe; the outcome of the first load is kept for the life of the process.

#include <functional>

#include "desktop/desktop_services.h"
#include "util/agent_error.h"

namespace vela::DesktopModule {

Result<const DesktopServices*> services();

// What the gateway client asks for the module's services when a desktop session opens:
// it loads the module on its first call and gives nullptr (the reason logged once, at
// error) when the module cannot load.
std::function<const DesktopServices*()> servicesProvider();

// Environment variable naming a module file to load instead of the embedded one (for
// trying a rebuilt module, and for tests that simulate a broken installation).
inline constexpr const char* kOverrideVariable = "VELA_DESKTOP_MODULE";

}  // namespace vela::DesktopModule
