#pragma once

// Desktop frames on the gateway connection: the session-open configuration, what the
// operator side sends (IncomingDesktopFrame) and what the agent reports
// (OutgoingDesktopFrame). Payloads travel as Base64 of a canonical JSON document in
// `data`, except for error and closed. Plain values.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "desktop/desktop_signaling.h"
#include "desktop/session_frame.h"
#include "util/agent_error.h"

namespace vela {

struct DesktopOpenConfig {
  static constexpr std::string_view kDefaultIndicatorText = "Fernzugriff aktiv · Aufzeichnung läuft";

  std::vector<IceServer> iceServers;
  std::string mode = "attended";
  bool recordingRequired = true;
  bool consentRequired = false;
  std::string indicatorText = std::string(kDefaultIndicatorText);
  std::int64_t monitor = 0;
  std::optional<std::string> operatorName;
  std::optional<std::string> brandName;
  std::optional<std::string> brandLogoBase64;
  // The frame's own "clipboard" member (outside `data`): false keeps the clipboard out
  // of the session. The agent sets it from local policy before the session sees it.
  bool clipboardAllowed = true;

  // For a frame without usable `data`: attended, recording, no consent prompt.
  static DesktopOpenConfig fallback() { return DesktopOpenConfig{}; }
  // Nothing unless the Base64 text holds a JSON object.
  static std::optional<DesktopOpenConfig> decode(std::string_view base64);

  bool operator==(const DesktopOpenConfig&) const = default;
};

struct IndicatorAck {
  std::int64_t shownAt = 0;
  std::string textVersion;
  bool operator==(const IndicatorAck&) const = default;
};

struct IncomingDesktopFrame {
  struct Open {
    std::string sessionID;
    DesktopOpenConfig config;
    bool operator==(const Open&) const = default;
  };
  struct Signal {
    std::string sessionID;
    DesktopSignal signal;
    bool operator==(const Signal&) const = default;
  };
  struct Close {
    std::string sessionID;
    std::string reason = "teardown";
    bool operator==(const Close&) const = default;
  };

  std::variant<Open, Signal, Close> payload;

  static std::optional<IncomingDesktopFrame> parse(std::string_view text);
  // The same from a frame whose envelope is already read.
  static std::optional<IncomingDesktopFrame> from(const SessionFrame& frame);
  const std::string& sessionID() const;
  bool operator==(const IncomingDesktopFrame&) const = default;
};

// The size of the picture a session sends, which a large screen's exceeds.
struct VideoSize {
  int width = 0;
  int height = 0;
  bool operator==(const VideoSize&) const = default;
};

struct OutgoingDesktopFrame {
  struct Opened {
    std::string sessionID;
    std::optional<IndicatorAck> indicatorAck;  // absent: no banner is on screen
    std::vector<std::int64_t> monitors;
    std::optional<VideoSize> videoSize;
  };
  struct Signal {
    std::string sessionID;
    DesktopSignal signal;
  };
  struct ConsentDeclined {
    std::string sessionID;
  };
  struct RecordingBeat {
    std::string sessionID;
    std::int64_t seq = 0;
    std::int64_t bytes = 0;
  };
  struct RecordingFinal {
    std::string sessionID;
    std::string sha256;
    std::int64_t bytes = 0;
    double duration = 0;
    std::string storage;
    std::string format;
  };
  struct Error {
    std::string sessionID;
    std::string message;
  };
  struct Closed {
    std::string sessionID;
    std::string reason;
  };

  std::variant<Opened, Signal, ConsentDeclined, RecordingBeat, RecordingFinal, Error, Closed>
      payload;

  std::string json() const;

  // A frame another process wrote (the desktop helper), held to the shapes json()
  // writes: a known type, a string session_id, that type's one string member and
  // nothing else. Only the outer shape: `data` is not decoded.
  static Result<SessionFrame> parseShape(std::string_view text);
};

}  // namespace vela
