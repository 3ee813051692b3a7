#include "desktop/recording_store.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "config/agent_config.h"
#include "config/agent_paths.h"
#include "platform/file_io.h"
#include "platform/open_files.h"
#include "util/log.h"

namespace vela::RecordingStore {
namespace {

namespace fs = std::filesystem;

struct Recording {
  fs::path path;
  fs::file_time_type written;
  std::int64_t bytes = 0;
  bool open = false;
};

bool isRecording(const std::string& name) {
  return name.size() > kFilePrefix.size() + kFileSuffix.size() && name.starts_with(kFilePrefix) &&
         name.ends_with(kFileSuffix);
}

std::vector<Recording> recordingsIn(const std::string& directory) {
  std::vector<Recording> found;
  const auto open = platform::openFilesIn(directory);
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (!isRecording(it->path().filename().string())) continue;
    std::error_code statError;
    // Only plain files: a link planted here must not lead a removal elsewhere.
    if (!it->is_regular_file(statError) || it->is_symlink(statError)) continue;
    Recording r{it->path(), it->last_write_time(statError), 0, false};
    r.bytes = static_cast<std::int64_t>(it->file_size(statError));
    if (statError) continue;
    std::error_code resolveError;
    r.open = open.count(fs::canonical(r.path, resolveError).string()) > 0;
    found.push_back(std::move(r));
  }
  std::ranges::sort(found, [](const Recording& a, const Recording& b) { return a.written < b.written; });
  return found;
}

bool remove(const Recording& recording, const char* why, std::vector<std::string>& removed) {
  std::error_code error;
  if (!fs::remove(recording.path, error) && error) {
    Log::warn("recorder: cannot remove " + recording.path.string() + " (" + why + "): " + error.message());
    return false;
  }
  Log::info("recorder: removed " + recording.path.string() + " (" + why + ")");
  removed.push_back(recording.path.string());
  return true;
}

std::int64_t limitOrDefault(const std::optional<std::int64_t>& value, std::int64_t fallback) {
  const std::int64_t v = value.value_or(fallback);
  return v > 0 ? v : 0;
}

}  // namespace

RecordingPlace configured() {
  auto config = AgentConfig::loadIfPresent();
  AgentConfig limits = config ? *config : AgentConfig{};
  RecordingRetention retention{
      std::chrono::seconds(limitOrDefault(limits.recordingMaxAgeSeconds, AgentConfig::kDefaultRecordingMaxAgeSeconds)),
      limitOrDefault(limits.recordingMaxTotalBytes, AgentConfig::kDefaultRecordingMaxTotalBytes)};
  return {AgentPaths::recordingsDir(), retention};
}

Result<void> ensureDirectory(const std::string& directory) {
  if (platform::isDirectory(directory)) return {};
  return platform::makeDirectories(directory, 0700);
}

std::vector<std::string> prune(const std::string& directory, const RecordingRetention& retention,
                               std::chrono::system_clock::time_point now) {
  std::vector<std::string> removed;
  std::vector<Recording> kept;
  const auto oldest = std::chrono::file_clock::from_sys(now - retention.maxAge);
  for (Recording& r : recordingsIn(directory)) {
    const bool expired = retention.maxAge.count() > 0 && r.written < oldest;
    if (expired && !r.open && remove(r, "older than recordingMaxAgeSeconds", removed)) continue;
    kept.push_back(std::move(r));
  }
  if (retention.maxTotalBytes <= 0) return removed;
  std::int64_t total = 0;
  for (const Recording& r : kept) total += r.bytes;
  for (const Recording& r : kept) {
    if (total <= retention.maxTotalBytes) break;
    if (!r.open && remove(r, "over recordingMaxTotalBytes", removed)) total -= r.bytes;
  }
  return removed;
}

}  // namespace vela::RecordingStore
