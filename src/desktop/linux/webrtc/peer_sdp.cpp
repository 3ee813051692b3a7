#include "desktop/linux/webrtc/peer_sdp.h"

#include <cctype>

namespace vela::PeerSDP {
namespace {

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    auto line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Percent-encodes what would end the user-info part of a URL.
std::string escapeUserInfo(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// "scheme:host:port?query" or "scheme://host..." -> "host:port?query".
std::optional<std::string> afterScheme(std::string_view url, std::string_view scheme) {
  if (!startsWith(url, scheme) || url.size() <= scheme.size() || url[scheme.size()] != ':') return std::nullopt;
  auto rest = url.substr(scheme.size() + 1);
  if (startsWith(rest, "//")) rest.remove_prefix(2);
  if (rest.empty() || rest.front() == ':' || rest.front() == '?' || rest.find_first_of(" \r\n@") != rest.npos)
    return std::nullopt;
  return std::string(rest);
}

}  // namespace

std::string announceVideoTrack(std::string_view sdp, std::string_view streamID, std::string_view trackID) {
  const std::string msid = std::string(streamID) + " " + std::string(trackID);
  std::string out;
  bool inVideo = false;
  bool videoHasMsid = false;
  std::string pendingMid;  // the video section's mid line, to add an msid after if none came
  auto flushSection = [&] {
    if (inVideo && !videoHasMsid && !pendingMid.empty()) {
      const auto at = out.find(pendingMid);
      if (at != std::string::npos) out.insert(at + pendingMid.size(), "a=msid:" + msid + "\r\n");
    }
    pendingMid.clear();
  };
  for (const auto line : splitLines(sdp)) {
    if (line.empty()) continue;
    if (startsWith(line, "m=")) {
      flushSection();
      inVideo = startsWith(line, "m=video");
      videoHasMsid = false;
    }
    std::string rewritten(line);
    if (inVideo && startsWith(line, "a=msid:")) {
      rewritten = "a=msid:" + msid;
      videoHasMsid = true;
    } else if (inVideo && startsWith(line, "a=ssrc:")) {
      const auto at = line.find(" msid:");
      if (at != std::string_view::npos) rewritten = std::string(line.substr(0, at)) + " msid:" + msid;
    } else if (inVideo && startsWith(line, "a=mid:")) {
      pendingMid = rewritten + "\r\n";
    }
    out += rewritten;
    out += "\r\n";
  }
  flushSection();
  return out;
}

std::vector<std::string> mids(std::string_view sdp) {
  std::vector<std::string> result;
  for (const auto line : splitLines(sdp)) {
    if (startsWith(line, "m=")) {
      result.emplace_back();
    } else if (startsWith(line, "a=mid:") && !result.empty()) {
      result.back() = std::string(line.substr(6));
    }
  }
  return result;
}

bool plausibleDescription(std::string_view sdp) {
  const auto lines = splitLines(sdp);
  if (lines.empty() || lines.front() != "v=0") return false;
  for (const auto line : lines) {
    if (startsWith(line, "m=")) return true;
  }
  return false;
}

bool plausibleCandidate(std::string_view candidate) {
  if (startsWith(candidate, "a=")) candidate.remove_prefix(2);
  return startsWith(candidate, "candidate:") && candidate.size() > 10 &&
         candidate.find_first_of("\r\n") == std::string_view::npos;
}

std::optional<std::string> stunServer(std::string_view url) {
  auto rest = afterScheme(url, "stun");
  if (!rest) return std::nullopt;
  return "stun://" + *rest;
}

std::optional<std::string> turnServer(std::string_view url, const std::optional<std::string>& username,
                                      const std::optional<std::string>& credential) {
  for (const std::string_view scheme : {"turns", "turn"}) {
    if (auto rest = afterScheme(url, scheme)) {
      std::string userInfo;
      if (username || credential) {
        userInfo = escapeUserInfo(username.value_or("")) + ":" + escapeUserInfo(credential.value_or("")) + "@";
      }
      return std::string(scheme) + "://" + userInfo + *rest;
    }
  }
  return std::nullopt;
}

}  // namespace vela::PeerSDP
