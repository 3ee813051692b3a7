#pragma once

// Quick assist's own HTTPS requests. It runs before any enrolment, so the server is
// checked against the operating system's trust store (OpenSSL's default paths, which
// SSL_CERT_FILE and SSL_CERT_DIR move), never against the agent's pinned anchors.
// Each call blocks its thread until the request completes (at most 60 s). Thread-safe.

#include <map>
#include <string>

#include "util/agent_error.h"

namespace vela::QAHttp {

struct Response {
  long status = 0;
  std::string body;
};

using Headers = std::map<std::string, std::string>;

// Replies larger than this fail the request rather than fill memory.
inline constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

// Fails with "refusing non-https <url>" unless the scheme is https.
Result<Response> postJSON(const std::string& url, const std::string& body, const Headers& headers);
// PUT of the bytes of the file at `path` with these headers.
Result<Response> putFile(const std::string& url, const std::string& path, const Headers& headers);

}  // namespace vela::QAHttp
