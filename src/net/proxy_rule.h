#pragma once

// Which HTTP proxy carries a connection to a host. The one source is the environment,
// read as libcurl reads it: https_proxy (or HTTPS_PROXY), else all_proxy (ALL_PROXY),
// with no_proxy (NO_PROXY) naming the hosts reached directly. Every outgoing connection
// asks this rule, so the HTTPS client and the WebSocket connections always agree.
//
// A proxy variable that does not parse (or names a kind of proxy other than http://)
// is an error for every host it would cover: a configured proxy is never bypassed by
// connecting directly. Its warning is logged once per distinct value.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "util/agent_error.h"

namespace vela {

struct Proxy {
  std::string url;         // as libcurl takes it, credentials included
  std::string displayURL;  // "http://host:port", never the credentials
  bool hasCredentials = false;
  std::string variable;    // the environment variable it came from
};

class ProxyRule {
 public:
  // The value of a variable, nothing when unset.
  using Lookup = std::function<std::optional<std::string>(const std::string& name)>;

  static ProxyRule fromEnvironment();
  static ProxyRule fromLookup(const Lookup& lookup);

  // Whether any proxy variable is set, usable or not.
  bool configured() const { return proxy_.has_value(); }
  // The configured proxy regardless of no_proxy: nothing when none is set.
  Result<std::optional<Proxy>> proxy() const;
  // The proxy for a connection to `host` (a name or an IP literal, brackets allowed):
  // nothing for a direct connection.
  Result<std::optional<Proxy>> routeFor(std::string_view host) const;

  // Whether `host` is covered by a no_proxy list: "*", exact names, domain suffixes
  // (with or without a leading dot), IP literals and CIDR ranges.
  static bool exempts(std::string_view noProxy, std::string_view host);
  // Parses one proxy variable's value; a value without a scheme is http://.
  static Result<Proxy> parse(const std::string& variable, std::string_view value);

 private:
  std::optional<Result<Proxy>> proxy_;
  std::string noProxy_;
};

// The failure text for a CONNECT the proxy answered with `status` (not 2xx).
std::string describeRefusedTunnel(const Proxy& proxy, std::string_view target, long status);

}  // namespace vela
