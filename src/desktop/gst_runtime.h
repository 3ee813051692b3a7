#pragma once

// GStreamer is initialised once per process, on first use by any media object.

#include "util/agent_error.h"

namespace vela::GstRuntime {

Result<void> ensureInitialized();

}  // namespace vela::GstRuntime
