#pragma once

// GStreamer is initialised once per process, on first use by any media object (the
// session encoder and what is behind it). Thread-safe; later calls return the first
// answer.

#include <initializer_list>
#include <string>

#include "util/agent_error.h"

typedef struct _GstElement GstElement;

namespace vela::GstRuntime {

Result<void> ensureInitialized();
// Initialises, then fails naming the first element factory that is not installed.
Result<void> requireElements(std::initializer_list<const char*> names);
// A pipeline from its textual description (a floating reference the caller sinks or
// owns); fails with GStreamer's own reason.
Result<GstElement*> launch(const std::string& description);

}  // namespace vela::GstRuntime
