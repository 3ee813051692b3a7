#pragma once

// One GStreamer initialisation per process, shared by every peer.

#include <string>

namespace vela::GstRuntime {

// Initialises GStreamer on first use and checks that every element the peer's pipeline
// needs is installed. Later calls return the first answer. Thread-safe.
// On failure `why` (when given) receives the reason.
bool ensure(std::string* why = nullptr);

}  // namespace vela::GstRuntime
