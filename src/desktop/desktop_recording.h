#pragma once

// The local recording every desktop session writes, as the session controller sees it.
// Implementations live in the desktop module; core code only holds this interface.
// Implementations are thread-safe: append() runs on the capture thread, the durability
// callback and finalize's completion on the recorder's own threads.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "util/agent_error.h"

namespace vela {

// One captured picture in 32-bit BGRA, borrowed for the duration of the call that
// receives it. `stride` is the byte distance between rows (at least width * 4).
struct BGRAFrame {
  const std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

// Capture time of a frame on a monotonic media clock; only differences matter.
using MediaTime = std::chrono::nanoseconds;

struct DesktopRecordingFinal {
  std::string sha256;  // 64 lower-case hexadecimal digits of the file on disk
  std::int64_t bytes = 0;
  double durationS = 0;
  std::string storage;  // "file://<path>"
  std::string format;   // "fmp4"
  bool operator==(const DesktopRecordingFinal&) const = default;
};

class DesktopRecording {
 public:
  using Completion = std::function<void(std::optional<DesktopRecordingFinal>)>;

  virtual ~DesktopRecording() = default;

  // Called once, from the recorder's timer thread, when the file first holds more than
  // 512 bytes. REQUIRES: set before start().
  virtual void setOnFirstChunkDurable(std::function<void()> callback) = 0;
  // Fails with "recorder: cannot add video input" or
  // "recorder: startWriting failed (<why>)".
  virtual Result<void> start(int width, int height) = 0;
  // Frames the writer cannot take right now are dropped from the recording only.
  virtual void append(const BGRAFrame& frame, MediaTime pts) = 0;
  // Size of the file from the file system; 0 when it cannot be read.
  virtual std::int64_t bytesWritten() const = 0;
  // Completes once, on a thread of the recorder's; nothing when the writer failed.
  virtual void finalize(Completion completion) = 0;
};

}  // namespace vela
