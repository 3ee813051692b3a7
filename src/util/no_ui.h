#pragma once

#include <cstdlib>

namespace vela {

// VELA_NO_UI turns every window off for unattended runs; being present is enough, so an
// empty value counts too.
inline bool uiTurnedOff() { return std::getenv("VELA_NO_UI") != nullptr; }

}  // namespace vela
