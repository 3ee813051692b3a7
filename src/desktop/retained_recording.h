#pragma once

// A session's recording that makes room first: when it starts it creates its folder and
// applies the folder's retention (RecordingStore::prune), so the folder keeps within its
// limits with every new recording and the new one is never among those removed. All
// else is the wrapped recording's; thread-safe as it is.

#include <memory>

#include "desktop/desktop_recording.h"
#include "desktop/recording_store.h"

namespace vela {

class RetainedRecording final : public DesktopRecording {
 public:
  RetainedRecording(std::shared_ptr<DesktopRecording> recording, RecordingPlace place)
      : recording_(std::move(recording)), place_(std::move(place)) {}

  void setOnFirstChunkDurable(std::function<void()> callback) override {
    recording_->setOnFirstChunkDurable(std::move(callback));
  }
  // Fails as the wrapped recording does, or with "recorder: startWriting failed (<why>)"
  // when the folder cannot be made.
  Result<void> start(int width, int height) override;
  std::int64_t bytesWritten() const override { return recording_->bytesWritten(); }
  void finalize(Completion completion) override { recording_->finalize(std::move(completion)); }

 private:
  const std::shared_ptr<DesktopRecording> recording_;
  const RecordingPlace place_;
};

}  // namespace vela
