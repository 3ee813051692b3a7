#include "util/url.h"

#include <algorithm>
#include <cctype>

#include "util/utf8.h"

namespace vela {
namespace {

bool isSchemeChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
  auto colon = text.find("://");
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view scheme = text.substr(0, colon);
  if (!std::isalpha(static_cast<unsigned char>(scheme[0])) ||
      !std::all_of(scheme.begin(), scheme.end(), isSchemeChar)) {
    return std::nullopt;
  }
  URL url;
  for (char c : scheme) url.scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string_view rest = text.substr(colon + 3);
  if (auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
  auto authorityEnd = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, authorityEnd);
  rest = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
  if (auto at = authority.rfind('@'); at != std::string_view::npos) authority = authority.substr(at + 1);
  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    url.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      portText = after.substr(1);
    }
  } else {
    auto c = authority.rfind(':');
    url.host = std::string(authority.substr(0, c));
    if (c != std::string_view::npos) portText = authority.substr(c + 1);
  }
  if (url.host.empty()) return std::nullopt;
  for (char c : url.host) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == '/' || c == '\\') return std::nullopt;
  }
  if (!portText.empty()) {
    if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), ::isdigit)) return std::nullopt;
    int port = std::stoi(std::string(portText));
    if (port > 65535) return std::nullopt;
    url.port = port;
  }
  auto q = rest.find('?');
  url.path = std::string(rest.substr(0, q));
  if (q != std::string_view::npos) url.query = std::string(rest.substr(q + 1));
  for (char c : url.path) {
    if (std::isspace(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return url;
}

std::string URL::authority() const {
  // Appended piece by piece: GCC 12 at -O3 misreads `"[" + host` (a temporary moved into
  // operator+) as an overlapping copy and fails -Werror=restrict.
  const bool bracketed = host.find(':') != std::string::npos;
  std::string out;
  out.reserve(host.size() + 8);
  if (bracketed) out += '[';
  out += host;
  if (bracketed) out += ']';
  if (port) {
    out += ':';
    out += std::to_string(*port);
  }
  return out;
}

std::optional<std::string> httpsBaseURL(std::string_view serverBaseURL) {
  std::string_view text = UTF8::trimWhitespace(serverBaseURL);
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  auto url = URL::parse(text);
  if (!url || url->scheme != "https") return std::nullopt;
  return std::string(text);
}

}  // namespace vela
