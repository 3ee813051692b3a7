#pragma once

// The update manifest the control plane offers, and the check reply around it. The
// signature covers canonicalString(), not the JSON.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/agent_error.h"

namespace vela {

struct UpdateManifest {
  std::string version;
  std::string channel;
  std::string os;
  std::string arch;
  std::string sha256;
  std::int64_t size_bytes = 0;
  std::string signature;
  std::string public_key;
  std::optional<std::string> public_key_id;
  std::string download_url;

  // "rmm-agent|<channel>|<os>|<arch>|<version>|sha256:<sha256>|size:<size_bytes>"
  std::string canonicalString() const;
  bool operator==(const UpdateManifest&) const = default;
};

struct UpdateCheckResponse {
  bool update_available = false;
  std::optional<UpdateManifest> manifest;

  // A standard decoder: unknown keys ignored, required keys strict.
  static Result<UpdateCheckResponse> decode(std::string_view json);
};

}  // namespace vela
