#pragma once

// What a desktop session reports about itself, in the order it can happen: opened once
// the recording is durable, beats, the final recording record, errors, and the end.
// The session manager turns these into gateway frames. Plain value.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "desktop/desktop_frames.h"
#include "desktop/desktop_recording.h"

namespace vela {

struct DesktopLifecycle {
  struct Opened {
    std::optional<IndicatorAck> ack;  // only for a banner that is on screen
    std::vector<std::int64_t> monitors;
    // The size the picture is sent at; none when unknown.
    std::optional<VideoSize> videoSize;
  };
  struct RecordingBeat {
    std::int64_t seq = 0;
    std::int64_t bytes = 0;
  };
  struct RecordingFinal {
    DesktopRecordingFinal final;
  };
  struct Error {
    std::string message;
  };
  // selfInitiated: the agent decided to end the session (reported to the operator);
  // otherwise the operator or the connection ended it (not echoed).
  struct Closed {
    std::string reason;
    bool selfInitiated = false;
  };
  struct ConsentDeclined {};

  using Event = std::variant<Opened, RecordingBeat, RecordingFinal, Error, Closed, ConsentDeclined>;
  Event event;
};

}  // namespace vela
