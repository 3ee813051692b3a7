#pragma once

// A small absolute-URL parser (scheme://[user@]host[:port][/path][?query][#fragment])
// with just what the agent needs: the scheme rule for the control plane and the host
// for the gateway.

#include <optional>
#include <string>
#include <string_view>

namespace vela {

struct URL {
  std::string scheme;  // lower-cased
  std::string host;    // without brackets for IPv6 literals
  std::optional<int> port;
  std::string path;    // "" or starting with "/"
  std::string query;   // without "?"

  static std::optional<URL> parse(std::string_view text);
  // host with brackets restored for IPv6 literals, plus ":port" when present.
  std::string authority() const;
};

// The control plane's base URL: text trimmed of white space and line breaks, every
// trailing "/" removed, present only when it parses and the scheme is https.
std::optional<std::string> httpsBaseURL(std::string_view serverBaseURL);

}  // namespace vela
