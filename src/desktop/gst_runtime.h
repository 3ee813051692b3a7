#pragma once

// GStreamer is initialised once per process, on first use by any media object (the
// screen encoder, the recorder, the WebRTC peer). Thread-safe; later calls return the
// first answer.

#include <initializer_list>

#include "util/agent_error.h"

namespace vela::GstRuntime {

Result<void> ensureInitialized();
// Initialises, then fails naming the first element factory that is not installed.
Result<void> requireElements(std::initializer_list<const char*> names);

}  // namespace vela::GstRuntime
