#include "net/curl_options.h"

namespace vela::CurlOptions {

bool verifiedHttpsOnly(CURL* h) {
  return curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_CAINFO, nullptr) == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK;
}

bool route(CURL* h, const std::optional<Proxy>& proxy) {
  return curl_easy_setopt(h, CURLOPT_PROXY, proxy ? proxy->url.c_str() : "") == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_NOPROXY, "") == CURLE_OK &&
         curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, proxy ? 1L : 0L) == CURLE_OK;
}

}  // namespace vela::CurlOptions
