#include "desktop/linux/recording/shared_recording.h"

#include <utility>

#include "util/log.h"

namespace vela {
namespace {

constexpr const char* kCannotAddInput = "recorder: cannot add video input";
// How long finishing waits for the picture that brings the file up to now; far beyond
// what one picture takes to encode.
constexpr std::chrono::milliseconds kCatchUpLimit{2000};

GstClockTime runningTime(GstPad* pad, GstClockTime pts) {
  GstEvent* event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
  if (!event) return pts;
  const GstSegment* segment = nullptr;
  gst_event_parse_segment(event, &segment);
  const GstClockTime running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, pts);
  gst_event_unref(event);
  return running;
}

}  // namespace

Result<std::shared_ptr<SharedRecording>> SharedRecording::create(std::shared_ptr<SharedEncoder> encoder,
                                                                 const std::string& path, int width, int height) {
  if (width <= 0 || height <= 0 || width % 2 || height % 2) return vela::fail(kCannotAddInput);
  if (auto sized = encoder->configure(width, height); !sized) {
    return vela::fail("recorder: startWriting failed (" + sized.error().message + ")");
  }
  GstElement* bin = gst_bin_new("recording");
  gst_object_ref_sink(bin);
  auto branch = RecordingBranch::create(GST_BIN(bin), path);
  GstPad* ghost = branch ? gst_ghost_pad_new("sink", branch->sinkPad()) : nullptr;
  if (!ghost || !gst_element_add_pad(bin, ghost)) {
    gst_object_unref(bin);
    return vela::fail(kCannotAddInput);
  }
  std::shared_ptr<SharedRecording> self(new SharedRecording(encoder, bin, std::move(*branch)));
  std::weak_ptr<SharedRecording> weak = self;

  // On the queue's own pad: a picture seen there is inside the branch once the push
  // returns, so a detach asked for from here (an idle probe upstream) comes after it.
  gst_pad_add_probe(self->branch_.sinkPad(), GST_PAD_PROBE_TYPE_BUFFER, &SharedRecording::takePicture,
                    new std::shared_ptr<Intake>(self->intake_),
                    [](gpointer intake) { delete static_cast<std::shared_ptr<Intake>*>(intake); });
  self->branch_.onFinished([weak] {
    auto self = weak.lock();
    // An EOS nobody asked for follows an error, which already failed the recording.
    if (!self || !self->drain_.began()) return;
    auto expected = Status::writing;
    self->status_.compare_exchange_strong(expected, Status::completed);
    self->end();
  });
  encoder->add(GST_ELEMENT(gst_object_ref(bin)), [weak](const std::string& why) {
    if (auto self = weak.lock()) self->fail(why);
  });
  if (auto linked = encoder->link(bin); !linked) {
    std::string why;
    {
      MutexLock lock(self->mu_);
      why = self->lastError_.empty() ? linked.error().message : self->lastError_;
    }
    (void)self->drain_.claimEnd();  // nothing left for the destructor to remove
    encoder->remove(bin);
    return vela::fail("recorder: startWriting failed (" + why + ")");
  }
  self->started_ = true;
  return self;
}

SharedRecording::SharedRecording(std::shared_ptr<SharedEncoder> encoder, GstElement* bin, RecordingBranch branch)
    : encoder_(std::move(encoder)), bin_(bin), branch_(std::move(branch)) {}

SharedRecording::~SharedRecording() {
  // Dropped without finish(): the file keeps what reached it, up to its last fragment.
  if (!drain_.ended()) encoder_->remove(bin_);
  gst_object_unref(bin_);
}

GstPadProbeReturn SharedRecording::takePicture(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  Intake& intake = **static_cast<std::shared_ptr<Intake>*>(data);
  // The tee would stop every branch on an error flowing back from this one; the error
  // is posted (and the flag set) before the failing element returns it.
  if (intake.drop.load()) return GST_PAD_PROBE_DROP;
  const GstClockTime pts = GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info));
  std::function<void()> reached;
  if (GST_CLOCK_TIME_IS_VALID(pts)) {
    MutexLock lock(intake.mu);
    if (!intake.first) intake.first = pts;
    intake.last = pts;
    intake.lastRunning = runningTime(pad, pts);
    if (intake.until && intake.lastRunning >= *intake.until) reached = std::exchange(intake.reached, nullptr);
  }
  if (reached) reached();
  return GST_PAD_PROBE_OK;
}

double SharedRecording::durationS() const {
  MutexLock lock(intake_->mu);
  if (!intake_->first) return 0;
  return double(intake_->last - *intake_->first) / double(GST_SECOND);
}

void SharedRecording::fail(const std::string& why) {
  intake_->drop.store(true);
  {
    MutexLock lock(mu_);
    if (lastError_.empty()) lastError_ = why;
  }
  auto expected = Status::writing;
  if (status_.compare_exchange_strong(expected, Status::failed) && started_.load()) {
    Log::warn("recorder: writing stopped (" + why + ")");
  }
  // A failure while draining means the EOS may never reach the sink.
  if (drain_.began()) end();
}

void SharedRecording::finish(std::function<void(Status)> done) {
  if (!drain_.begin(std::move(done), shared_from_this())) return;
  if (status_.load() != Status::writing) {
    end();
    return;
  }
  std::weak_ptr<SharedRecording> weak = weak_from_this();
  encoder_->catchUp([weak](std::optional<GstClockTime> until) {
    if (auto self = weak.lock()) self->awaitPicture(until);
  });
}

void SharedRecording::awaitPicture(std::optional<GstClockTime> until) {
  bool already = !until;
  std::weak_ptr<SharedRecording> weak = weak_from_this();
  {
    MutexLock lock(intake_->mu);
    if (!already && intake_->first && intake_->lastRunning >= *until) already = true;
    if (!already) {
      intake_->until = until;
      intake_->reached = [weak] {
        if (auto self = weak.lock()) self->detach();
      };
    }
  }
  if (already) {
    detach();
    return;
  }
  // A failing encoder may never deliver it.
  encoder_->after(kCatchUpLimit, [weak] {
    if (auto self = weak.lock()) self->detach();
  });
}

void SharedRecording::detach() {
  if (detached_.exchange(true)) return;
  branch_.detachAndEnd();
}

// Runs at most once: from the EOS probe or an error once finishing began. Stopping the
// branch is not allowed on its own streaming thread, so it happens on a worker.
void SharedRecording::end() {
  if (!drain_.claimEnd()) return;
  auto self = shared_from_this();
  encoder_->runOffStreamingThread([self] {
    self->encoder_->remove(self->bin_);
    self->drain_.complete(self->status_.load());
  });
}

}  // namespace vela
