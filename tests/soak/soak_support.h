#pragma once

// What the soak tests share: their counts, a daemon's process figures, and a state
// directory provisioned for the test control plane.

#include <sys/types.h>

#include <iosfwd>
#include <string>

#include "support/control_plane.h"

namespace vela::testing {

// AddressSanitizer keeps freed memory in quarantine, resident by design: in such a
// build (the daemon is built alike) resident memory says nothing about leaks.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kResidentMemoryComparable = false;
#else
inline constexpr bool kResidentMemoryComparable = true;
#endif

// The positive integer in environment variable `name`, else `fallback`.
int soakCount(const char* name, int fallback);

struct ProcessFigures {
  long descriptors = 0;
  long threads = 0;
  long rssKiB = 0;
};

ProcessFigures figuresOf(pid_t pid);
// The smallest of a few looks over a second, skipping a moment when a request or a
// reconnect happens to be in flight.
ProcessFigures idleFigures(pid_t pid);
// Prints "soak: descriptors 12 -> 12" and so on.
void printFigures(std::ostream& out, const ProcessFigures& before, const ProcessFigures& after);

// Pinned trust of `cp` in `stateDir` (the directory VELA_STATE_DIR names) and a
// config.json with the control plane's enrolment token, heartbeats and polls every
// `intervalSeconds`.
void provisionForControlPlane(const ControlPlane& cp, const std::string& stateDir, int intervalSeconds = 1);

}  // namespace vela::testing
