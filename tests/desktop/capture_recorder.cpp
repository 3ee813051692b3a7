#include "desktop/capture_recorder.h"

namespace vela::testing {

void CaptureRecorder::attach(ScreenCapturer& capturer) {
  capturer.setOnFrame([this](const PixelBuffer& frame, MediaTime) {
    if (onEachFrame) onEachFrame(frame);
    {
      std::lock_guard lock(mu);
      latest = frame;
      ++frames;
      changed_.notify_all();
    }
  });
  capturer.setOnStopped([this](const std::optional<AgentError>& error) {
    {
      std::lock_guard lock(mu);
      stopped = error;
      changed_.notify_all();
    }
  });
}

ScreenCapturer::StartCompletion CaptureRecorder::startCompletion() {
  return [this](Result<ScreenCapturer::Size, CaptureError> result) {
    {
      std::lock_guard lock(mu);
      started = std::move(result);
      changed_.notify_all();
    }
  };
}

bool CaptureRecorder::waitFor(const std::function<bool()>& condition) {
  std::unique_lock lock(mu);
  return changed_.wait_for(lock, std::chrono::minutes(1), condition);
}

}  // namespace vela::testing
