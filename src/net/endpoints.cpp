#include "net/endpoints.h"

#include <cctype>

#include "net/control_plane_api.h"
#include "util/url.h"

namespace vela {
namespace {

bool isUnreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool allowedInPath(unsigned char c) {
  return isUnreserved(c) || std::string_view("!$&'()*+,;=:@/").find(static_cast<char>(c)) !=
                                std::string_view::npos;
}

std::string percentEncode(std::string_view text, bool (*allowed)(unsigned char)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (allowed(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

bool allowedInQueryComponent(unsigned char c) { return isUnreserved(c); }

bool allowedInSegmentWithoutDots(unsigned char c) {
  return c != '/' && c != '.' && allowedInPath(c);
}

bool hasDotSegment(std::string_view path) {
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find('/', start);
    std::string_view segment =
        path.substr(start, end == std::string_view::npos ? end : end - start);
    if (segment == "." || segment == "..") return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

// `base` with an already encoded relative path appended; a query or fragment on the
// base stays after the extended path.
std::string withEncodedPath(const std::string& base, const std::string& encodedPath) {
  std::size_t split = base.find_first_of("?#", base.find("://") == std::string::npos
                                                   ? 0
                                                   : base.find("://") + 3);
  std::string prefix = base.substr(0, split);
  std::string suffix = split == std::string::npos ? std::string() : base.substr(split);
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  return prefix + encodedPath + suffix;
}

}  // namespace

std::string percentEncodePath(std::string_view path) { return percentEncode(path, allowedInPath); }

std::string Endpoints::url(std::string_view relativePath) const {
  while (!relativePath.empty() && relativePath.front() == '/') relativePath.remove_prefix(1);
  return withEncodedPath(base, percentEncodePath(relativePath));
}

std::string Endpoints::enroll() const { return url(ControlPlaneAPI::enroll.path); }
std::string Endpoints::telemetry() const { return url(ControlPlaneAPI::telemetry.path); }
std::string Endpoints::commandsPoll() const { return url(ControlPlaneAPI::commandsPoll.path); }
std::string Endpoints::updateCheck() const { return url(ControlPlaneAPI::updateCheck.path); }
std::string Endpoints::quickAssistJoin() const { return url(ControlPlaneAPI::quickAssistJoin.path); }
std::string Endpoints::quickAssistPresign() const {
  return url(ControlPlaneAPI::quickAssistPresign.path);
}

std::string Endpoints::commandResult(const std::optional<std::string>& commandID) const {
  if (!commandID) return url(ControlPlaneAPI::commandResultWithoutID.path);
  if (!hasDotSegment(*commandID)) return url("api/agent/commands/" + *commandID + "/result");
  // "." and ".." segments would be resolved away and move the result to another path,
  // so such an id becomes one segment with its slashes and dots encoded. A whole id of
  // "." or ".." can at worst be resolved to the result path without an id.
  return withEncodedPath(
      base,
      "api/agent/commands/" + percentEncode(*commandID, allowedInSegmentWithoutDots) + "/result");
}

std::optional<std::string> Endpoints::gatewayURL() const {
  auto parsed = URL::parse(base);
  if (!parsed || parsed->host.empty()) return std::nullopt;
  URL gateway;
  gateway.host = parsed->host;
  gateway.port = ControlPlaneAPI::gatewayPort;
  return "wss://" + gateway.authority() + std::string(ControlPlaneAPI::gatewayPath);
}

std::string appendQuery(const std::string& url,
                        const std::map<std::string, std::string>& parameters) {
  if (parameters.empty()) return url;
  std::string out = url;
  char separator = url.find('?') == std::string::npos ? '?' : '&';
  for (const auto& [name, value] : parameters) {
    out += separator;
    out += percentEncode(name, allowedInQueryComponent);
    out += '=';
    out += percentEncode(value, allowedInQueryComponent);
    separator = '&';
  }
  return out;
}

}  // namespace vela
