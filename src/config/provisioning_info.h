#pragma once

// The partial settings one provisioning source yields (a file name, the environment,
// the command line, a stored configuration). Sources are layered by precedence with
// overlaid(); `source` records which layers contributed.

#include <optional>
#include <string>

namespace vela {

struct ProvisioningInfo {
  std::optional<std::string> tenantID;
  std::optional<std::string> customerID;
  std::optional<std::string> serverBaseURL;
  std::optional<std::string> enrollmentToken;
  std::optional<std::string> channel;
  std::string source;

  // Source texts of the producers.
  static constexpr const char* kFilename = "filename";
  static constexpr const char* kFilenameBlob = "filename-blob";
  static constexpr const char* kEnvironment = "env";
  static constexpr const char* kFlags = "flags";
  static constexpr const char* kDefaults = "defaults";
  static constexpr const char* kConfig = "config";
  // "filename(<last path component>)" for a setting found in the program's own name.
  static std::string selfSource(const std::string& lastPathComponent);

  // True when none of the five settings is present; `source` does not count.
  bool isEmpty() const;

  // Each setting present in `other` replaces ours; the sources are joined with "+".
  ProvisioningInfo overlaid(const ProvisioningInfo& other) const;

  bool operator==(const ProvisioningInfo&) const = default;
};

}  // namespace vela
