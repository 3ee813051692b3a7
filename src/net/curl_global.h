#pragma once

// libcurl's process-wide set-up, done once before the first handle of any user.

#include <mutex>

#include <curl/curl.h>

namespace vela {

inline void ensureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace vela
