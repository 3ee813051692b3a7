#pragma once

// Signalling records shared by the desktop session, its WebRTC peer and the gateway:
// ICE servers and candidates, session descriptions, and the offer/answer/candidate
// payload that travels Base64-encoded inside "desktop.signal" frames. Plain values.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vela {

class JSONValue;

struct IceServer {
  std::vector<std::string> urls;
  std::optional<std::string> username;
  std::optional<std::string> credential;
  bool operator==(const IceServer&) const = default;
};

struct IceCandidate {
  std::optional<std::string> sdpMid;
  std::int32_t sdpMLineIndex = 0;
  std::string candidate;
  bool operator==(const IceCandidate&) const = default;
};

struct SessionDescription {
  enum class Kind { offer, answer, pranswer, rollback };
  Kind kind = Kind::offer;
  std::string sdp;

  static std::optional<Kind> kindFromString(std::string_view text);
  static std::string_view kindString(Kind kind);
  bool operator==(const SessionDescription&) const = default;
};

// Between the peer and its session controller only; never on the wire as such.
struct SignalingMessage {
  struct Close {
    std::string reason;
    bool operator==(const Close&) const = default;
  };
  std::variant<SessionDescription, IceCandidate, Close> payload;
  bool operator==(const SignalingMessage&) const = default;
};

struct DesktopSignal {
  struct Offer {
    std::string sdp;
    bool operator==(const Offer&) const = default;
  };
  struct Answer {
    std::string sdp;
    bool operator==(const Answer&) const = default;
  };
  std::variant<Offer, Answer, IceCandidate> payload;

  // Nothing for bad Base64, bad JSON, an unknown kind or a missing required member.
  static std::optional<DesktopSignal> decode(std::string_view base64);
  static std::optional<DesktopSignal> fromJSON(const JSONValue& document);
  JSONValue json() const;
  std::string encodeBase64() const;

  // A local description leaves as an answer when it is one, else as an offer.
  static DesktopSignal fromDescription(const SessionDescription& description);
  // Offer and answer become descriptions of that kind; nothing for a candidate.
  std::optional<SessionDescription> description() const;

  bool operator==(const DesktopSignal&) const = default;
};

}  // namespace vela
