#pragma once

// DesktopRecorder writes a session's pictures as H.264 in fragmented MP4 with 1 s
// fragments to <directory>/vela-desktop-<UUID>.mp4 (directory: the one given, else
// $TMPDIR, else /tmp), reports once when the file first holds more than 512 bytes, and
// on finalize reports the SHA-256, size and duration of what is on disk. The file is
// left in place.
//
// Thread-safe: the durability check runs on its own "vela.recorder.durable" queue,
// finalize's completion on a GStreamer worker thread. `mu_` guards the writer; nothing
// calls out while holding it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "desktop/linux/recording/recording_sink.h"
#include "desktop/desktop_recording.h"
#include "util/mutex.h"
#include "util/serial_queue.h"

namespace vela {

class DesktopRecorder : public DesktopRecording,
                        public std::enable_shared_from_this<DesktopRecorder> {
 public:
  // Opens the sink for the file at start(); errors carry the texts of start().
  using SinkFactory =
      std::function<Result<std::shared_ptr<RecordingSink>>(const std::string& path, int width, int height)>;

  static std::shared_ptr<DesktopRecorder> create(std::optional<std::filesystem::path> directory,
                                                 SinkFactory sinkFactory);
  ~DesktopRecorder() override;

  const std::filesystem::path& url() const { return url_; }

  void setOnFirstChunkDurable(std::function<void()> callback) override;
  Result<void> start(int width, int height) override;
  std::int64_t bytesWritten() const override;
  void finalize(Completion completion) override;

  // Bytes that must be on disk before the recording counts as durable.
  static constexpr std::int64_t kDurableBytes = 512;

 private:
  DesktopRecorder(std::filesystem::path url, SinkFactory sinkFactory);
  void checkDurable();
  void cancelDurableTimer();

  std::function<void()> onFirstChunkDurable_;  // fixed before start()
  const std::filesystem::path url_;
  const SinkFactory sinkFactory_;
  std::shared_ptr<SerialQueue> timerQueue_;

  mutable Mutex mu_;
  std::shared_ptr<RecordingSink> writer_ GUARDED_BY(mu_);
  bool durableFired_ GUARDED_BY(mu_) = false;
  std::optional<SerialQueue::TimerID> durableTimer_ GUARDED_BY(mu_);
};

}  // namespace vela
