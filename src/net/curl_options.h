#pragma once

// The libcurl options every connection of the agent's sets the same way. Each returns
// false when libcurl refused an option: the caller must then not send anything, since a
// request without one of them is weaker than it looks.

#include <optional>

#include <curl/curl.h>

#include "net/proxy_rule.h"

namespace vela::CurlOptions {

// https only, no redirects, TLS 1.2 or later, the peer and its name verified, no CA
// bundle of libcurl's own (the caller's TLS context decides trust), no signals.
bool verifiedHttpsOnly(CURL* handle);
// The route ProxyRule chose, and nothing libcurl would choose itself from the
// environment: "" with no proxy, and no exemption list of its own on top of the rule's.
bool route(CURL* handle, const std::optional<Proxy>& proxy);

}  // namespace vela::CurlOptions
