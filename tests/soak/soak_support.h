#pragma once

// What the soak tests share: their counts and seed, a daemon's process figures, the
// files a killed writer leaves, and a state directory provisioned for the test control
// plane.

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/control_plane.h"

namespace vela::testing {

// The positive integer in environment variable `name`, else `fallback`.
int soakCount(const char* name, int fallback);
// VELA_SOAK_SEED, else a random seed; printed, so that a run can be repeated.
unsigned soakSeed();

struct ProcessFigures {
  long descriptors = 0;
  long threads = 0;
  long rssKiB = 0;
};

// The smallest of a few looks over a second, skipping a moment when a request or a
// reconnect happens to be in flight.
ProcessFigures idleFigures(pid_t pid);
// Prints "soak: descriptors 12 -> 12" and so on, and expects the process back near
// `before`: one descriptor or thread more at most, 4 MiB more resident at most.
void expectSettled(const ProcessFigures& before, const ProcessFigures& after);

// Entries of the JSON array `jsonArray` whose member `key` is `value`.
std::size_t countWhere(const std::string& jsonArray, const std::string& key, const std::string& value);

// Files under `dir` that a writer left between writing and renaming ("config.json" for
// "config.json.tmp-123-4").
std::vector<std::string> temporaries(const std::string& dir);

// Pinned trust of `cp` in `stateDir` (the directory VELA_STATE_DIR names) and a
// config.json with the control plane's enrolment token, heartbeats and polls every
// `intervalSeconds`.
void provisionForControlPlane(const ControlPlane& cp, const std::string& stateDir, int intervalSeconds = 1);

}  // namespace vela::testing
