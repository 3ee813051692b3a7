#pragma once

// The agent's one persisted settings record, stored as config.json in the state
// directory. A value type: holders keep copies; save() replaces the file as a whole.

#include <cstdint>
#include <optional>
#include <string>

#include "util/agent_error.h"

namespace vela {

struct AgentConfig {
  std::string serverBaseURL;
  std::optional<std::string> tenantID;
  std::optional<std::string> customerID;
  std::optional<std::string> enrollmentToken;
  std::string channel = "stable";
  std::optional<std::string> agentID;
  std::optional<std::string> certFingerprint;
  std::optional<std::string> certNotAfter;
  std::optional<std::string> deviceToken;
  std::int64_t metricsIntervalSeconds = 60;
  std::int64_t heartbeatIntervalSeconds = 60;
  std::int64_t commandPollIntervalSeconds = 15;
  std::int64_t updateCheckIntervalSeconds = 3600;
  std::int64_t inventoryIntervalSeconds = 86400;
  bool verbose = false;
  std::int64_t commandSkewSeconds = 300;
  bool allowRunScript = true;
  bool allowPowerCommands = true;
  // Absent from older files; read as true there.
  bool allowFileTransfer = true;
  bool allowClipboard = true;
  std::optional<bool> quickAssist;
  // Retention of session recordings; absent means the default below, 0 or less no limit.
  std::optional<std::int64_t> recordingMaxAgeSeconds;
  std::optional<std::int64_t> recordingMaxTotalBytes;

  static constexpr std::int64_t kDefaultRecordingMaxAgeSeconds = 30 * 86400;
  static constexpr std::int64_t kDefaultRecordingMaxTotalBytes = std::int64_t(2) << 30;

  bool isEnrolled() const { return agentID.has_value(); }

  // serverBaseURL trimmed and without trailing "/", present only for an https URL.
  std::optional<std::string> baseURL() const;

  static Result<AgentConfig> load();
  static std::optional<AgentConfig> loadIfPresent();
  // Absent only when config.json does not exist. A file that exists but cannot be read
  // or decoded is an error naming the file, never "no configuration": treating a typo
  // as a fresh install would throw away the identity and the local policy.
  static Result<std::optional<AgentConfig>> loadStored();
  // "<config file>: "serverBaseURL" is not an https URL: "<value>"", absent for a usable one.
  std::optional<std::string> serverProblem() const;
  // Decodes a config.json document; every required key must be present and typed.
  static Result<AgentConfig> decode(std::string_view json);

  std::string jsonData() const;
  Result<void> save() const;

  bool operator==(const AgentConfig&) const = default;
};

}  // namespace vela
