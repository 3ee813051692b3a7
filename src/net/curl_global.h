#pragma once

// libcurl's handles, each made after the process-wide set-up has run once.

#include <memory>
#include <mutex>

#include <curl/curl.h>

namespace vela {

struct CurlHandleFree {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlHandleFree>;

// Null when libcurl cannot make one.
inline CurlHandle newCurlHandle() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  return CurlHandle(curl_easy_init());
}

}  // namespace vela
