#pragma once

// Where a desktop session's captured frames go: the session's one H.264 encoder. The
// recording and every peer connection take their pictures from behind it, so a frame
// is encoded once whoever receives it. Implementations live in the on-demand desktop
// module. Thread-safe.

#include <chrono>
#include <cstdint>
#include <memory>

namespace vela {

// One captured picture, BGRA, rows `stride` bytes apart. `pixels` keeps its owner (a
// capture buffer, a shared-memory segment) alive for as long as any consumer holds it,
// so a frame can be handed to an encoder without copying.
struct DesktopVideoFrame {
  std::shared_ptr<const std::uint8_t> pixels;
  int width = 0;
  int height = 0;
  int stride = 0;
  std::chrono::nanoseconds pts{0};
};

class DesktopVideoInput {
 public:
  struct Size {
    int width = 0;
    int height = 0;
    bool operator==(const Size&) const = default;
  };

  virtual ~DesktopVideoInput() = default;
  // The size pictures captured at `captured` are sent at: smaller for a screen too large
  // to encode at the session's rate, aspect kept. The operator's input is given as
  // fractions of the picture, so it still maps to the whole screen.
  virtual Size sentSize(Size captured) const { return captured; }
  // Frames come from one thread, their pts increasing. The first frame fixes the size
  // unless the recording fixed it before. False when the frame was not taken: another
  // size, a malformed frame, an ended input.
  virtual bool push(const DesktopVideoFrame& frame) = 0;
};

// The session encoder with a tally behind it instead of a recording or a peer: how
// `desktop-probe` proves capture → H.264.
class DesktopEncodingCheck : public DesktopVideoInput {
 public:
  struct Tally {
    std::uint64_t pictures = 0;
    std::uint64_t bytes = 0;
    bool keyframe = false;
  };
  // Ends the input, lets the frames still in the encoder out (waiting a few seconds at
  // most) and reports everything that came out.
  virtual Tally finish() = 0;
};

}  // namespace vela
