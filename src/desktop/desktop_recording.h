#pragma once

// The local recording every desktop session writes, as the session controller sees it:
// the file takes the session encoder's pictures from start() to finalize().
// Implementations live in the desktop module; core code only holds this interface.
// Implementations are thread-safe: the durability callback and finalize's completion run
// on the recorder's own threads.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "util/agent_error.h"

namespace vela {

struct DesktopRecordingFinal {
  std::string sha256;  // 64 lower-case hexadecimal digits of the file on disk
  std::int64_t bytes = 0;
  double durationS = 0;  // from the first picture in the file to the last
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
  // Size of the file from the file system; 0 when it cannot be read.
  virtual std::int64_t bytesWritten() const = 0;
  // Completes once, on a thread of the recorder's; nothing when the writer failed.
  virtual void finalize(Completion completion) = 0;
};

}  // namespace vela
