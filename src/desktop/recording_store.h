#pragma once

// The folder desktop sessions record into, and the retention that keeps it within its
// limits. Recordings are evidence of what an operator did on the machine, so they live
// where a reboot does not wipe them (AgentPaths::recordingsDir), owner-only, for as long
// as config.json allows: recordingMaxAgeSeconds and recordingMaxTotalBytes. Stateless;
// any thread.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "util/agent_error.h"

namespace vela {

struct RecordingRetention {
  std::chrono::seconds maxAge{0};  // 0: no limit by age
  std::int64_t maxTotalBytes = 0;  // 0: no limit by size
  bool operator==(const RecordingRetention&) const = default;
};

// Where one session records, and what that folder may keep.
struct RecordingPlace {
  std::string directory;
  RecordingRetention retention;
  bool operator==(const RecordingPlace&) const = default;
};

namespace RecordingStore {

inline constexpr std::string_view kFilePrefix = "vela-desktop-";
inline constexpr std::string_view kFileSuffix = ".mp4";

// The recordings directory and the limits config.json sets right now; its defaults when
// the file is missing or unreadable (the per-user helper reads its user's own, usually
// none).
RecordingPlace configured();

// Creates the directory, owner-only, when it does not exist.
Result<void> ensureDirectory(const std::string& directory);

// Removes the recordings (kFilePrefix…kFileSuffix) of `directory`, oldest first by
// their last write: those older than maxAge, then as many more as it takes to bring
// the rest within maxTotalBytes. One that a process holds open, being written, is never
// removed, and counts toward the total. Other files are not touched. Returns the paths
// removed; each removal and each one that failed is logged.
std::vector<std::string> prune(const std::string& directory, const RecordingRetention& retention,
                               std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace RecordingStore
}  // namespace vela
