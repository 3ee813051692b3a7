#pragma once

// Small helpers the file writers share: an errno failure naming its path, and a path's
// parent directory (for the fsync that makes a rename durable).

#include <cstring>
#include <string>

#include "util/agent_error.h"

namespace vela::platform::detail {

inline tl::unexpected<AgentError> errnoFailure(const std::string& path, int err) {
  return fail(path + ": " + std::strerror(err));
}

inline std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace vela::platform::detail
