#pragma once

// Compresses BGRA frames to H.264 in Annex-B form: every keyframe starts with the
// parameter sets (start code + SPS, start code + PPS), every unit with 00 00 00 01.
// Output arrives on the encoder's own thread. Thread-safe.

#include <cstdint>
#include <functional>
#include <string>

#include "desktop/pixel_buffer.h"
#include "util/agent_error.h"
#include "util/bytes.h"

namespace vela {

struct EncoderError {
  enum class Kind { sessionCreateFailed, encodeFailed };
  Kind kind;
  std::string status;  // the media framework's own status text

  std::string description() const {
    return std::string(kind == Kind::sessionCreateFailed ? "H.264 encoder pipeline failed to start ("
                                                         : "H.264 encoder pipeline rejected a frame (") +
           status + ")";
  }
};

class H264Encoder {
 public:
  struct Config {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t fps = 30;
    std::int32_t bitrate = 6'000'000;  // bits per second
    std::int32_t keyframeIntervalSeconds = 2;
  };
  using OutputHandler = std::function<void(const Bytes& annexB, bool isKeyframe)>;

  virtual ~H264Encoder() = default;
  virtual void setOnEncodedFrame(OutputHandler handler) = 0;
  virtual Result<void, EncoderError> encode(const PixelBuffer& frame, MediaTime pts, bool forceKeyframe) = 0;
  virtual void setBitrate(std::int32_t bitsPerSecond) = 0;
  // Delivers every pending output, then releases the pipeline; later encodes fail.
  virtual void stop() = 0;
};

}  // namespace vela
