#pragma once

// The tail of a recording: `queue ! mp4mux fragment-duration=1000 ! filesink`, writing
// fragmented MP4 that stays playable while it grows. It takes parsed H.264 on sinkPad(),
// behind the `tee` after the one encoder a session shares with its WebRTC peer.
//
// Ending behind a tee: a pipeline that also holds webrtcbin must not get a
// pipeline-wide EOS (it can hang), and an EOS returned into the tee would stop the
// shared source. detachAndEnd() therefore unlinks the branch from its upstream pad
// between two buffers and sends EOS into the branch alone; onFinished() fires when that
// EOS reaches the file sink, i.e. when the muxer has written its last fragment and
// index. The owner then sets the three elements to NULL, removes them from the bin and
// releases the tee pad, from a thread that is not a streaming thread. Not thread-safe
// beyond what GStreamer gives: build and finish it from one owner.

#include <functional>
#include <string>

#include <gst/gst.h>

#include "util/agent_error.h"

namespace vela {

class RecordingBranch {
 public:
  // Adds the three elements to `bin` (which keeps them) and links them.
  static Result<RecordingBranch> create(GstBin* bin, const std::string& path);

  GstPad* sinkPad() const { return sinkPad_; }
  // Calls `done` once, on a streaming thread, when EOS arrives at the file sink.
  void onFinished(std::function<void()> done);
  void detachAndEnd();

  RecordingBranch(RecordingBranch&& other) noexcept;
  RecordingBranch& operator=(RecordingBranch&&) = delete;
  RecordingBranch(const RecordingBranch&) = delete;
  ~RecordingBranch();

 private:
  RecordingBranch(GstPad* sinkPad, GstPad* fileSinkPad)
      : sinkPad_(sinkPad), fileSinkPad_(fileSinkPad) {}

  GstPad* sinkPad_ = nullptr;
  GstPad* fileSinkPad_ = nullptr;
};

}  // namespace vela
