#include "desktop/retained_recording.h"

namespace vela {

Result<void> RetainedRecording::start(int width, int height) {
  if (auto made = RecordingStore::ensureDirectory(place_.directory); !made)
    return fail("recorder: startWriting failed (" + made.error().message + ")");
  RecordingStore::prune(place_.directory, place_.retention);
  return recording_->start(width, height);
}

}  // namespace vela
