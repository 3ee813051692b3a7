#pragma once

// Quick assist's HTTPS requests, made with the agent's HTTPClient. Quick assist runs
// before any enrolment, so the server is checked against the operating system's trust
// store (OpenSSL's default paths, which SSL_CERT_FILE and SSL_CERT_DIR move), never
// against the agent's pinned anchors. Connections take their route from ProxyRule; a
// proxy variable it refuses fails the request. Each call blocks its thread until the
// request completes (at most 60 s). Thread-safe.

#include <map>
#include <string>
#include <string_view>

#include "util/agent_error.h"

namespace vela::QAHttp {

struct Response {
  long status = 0;
  std::string body;
};

using Headers = std::map<std::string, std::string>;

// Replies larger than this are not taken whole: a 2xx one fails the request, another
// one keeps its status and what fits of its body.
inline constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

// A header the server handed us, or any other, may go on a request only when its name
// is a token and its value visible ASCII with inner blanks: a CR or LF would let the
// sender write lines of its own into the request. The failure names the header.
Result<void> checkHeader(std::string_view name, std::string_view value);

// Both fail with "refusing non-https <url>" unless the scheme is https, and refuse any
// header checkHeader() refuses before anything is sent. Any HTTP status is a Response.
Result<Response> postJSON(const std::string& url, const std::string& body, const Headers& headers);
// PUT of the bytes of the file at `path` with these headers.
Result<Response> putFile(const std::string& url, const std::string& path, const Headers& headers);

}  // namespace vela::QAHttp
