// CPU cost of recording on top of streaming, in % of one core, at 1920×1080 and 30 fps,
// on a session's own path:
//   encode        frames → the session encoder → a fake peer tail (what streaming alone costs)
//   encode+tee    the same, with the session's recording behind the encoder as well
// Frames are a moving BGRA test pattern pushed in real time and copied once per frame,
// as the capturer's shared-memory read would.
// Usage: bench_recording_cpu [seconds per round] [rounds]

#include <gst/gst.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "desktop/linux/media/shared_encoder.h"
#include "desktop/linux/recording/desktop_recorder.h"
#include "desktop/linux/recording/shared_recording.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kW = 1920, kH = 1080, kFps = 30;

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::vector<std::vector<std::uint8_t>> patterns() {
  std::vector<std::vector<std::uint8_t>> frames(kFps);
  for (int i = 0; i < kFps; ++i) {
    auto& f = frames[i];
    f.resize(std::size_t(kW) * kH * 4);
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        std::uint8_t* p = &f[(std::size_t(y) * kW + x) * 4];
        bool bar = ((x + i * 40) % kW) < 60;
        p[0] = bar ? 255 : std::uint8_t(x / 8);
        p[1] = bar ? 255 : std::uint8_t(y / 5);
        p[2] = std::uint8_t((x + y + i * 8) / 16);
        p[3] = 255;
      }
    }
  }
  return frames;
}

GstPadProbeReturn countBuffer(GstPad*, GstPadProbeInfo*, gpointer count) {
  ++*static_cast<std::atomic<int>*>(count);
  return GST_PAD_PROBE_OK;
}

// Video frames in an MP4 file, counted by demuxing it.
int framesIn(const std::string& path) {
  std::string text = "filesrc location=\"" + path + "\" ! qtdemux ! fakesink name=out sync=false";
  GstElement* pipeline = gst_parse_launch(text.c_str(), nullptr);
  std::atomic<int> frames = 0;
  GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
  GstPad* pad = gst_element_get_static_pad(out, "sink");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countBuffer, &frames, nullptr);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  gst_message_unref(gst_bus_timed_pop_filtered(
      bus, GST_CLOCK_TIME_NONE, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  gst_element_set_state(pipeline, GST_STATE_NULL);
  for (GstObject* o : {GST_OBJECT(bus), GST_OBJECT(pad), GST_OBJECT(out), GST_OBJECT(pipeline)}) {
    gst_object_unref(o);
  }
  return frames.load();
}

enum class Mode { encode, tee };

struct Round {
  double percent = 0;
  int streamed = 0;  // frames through the encoder to the fake peer
  int recorded = 0;  // frames in the recording file
};

Round measure(Mode mode, int seconds, const std::vector<std::vector<std::uint8_t>>& frames) {
  auto encoder = vela::SharedEncoder::create(kFps);
  if (!encoder) std::abort();
  // A peer connection's tail, without the network: leaky like the real one.
  GstElement* peer = gst_parse_bin_from_description(
      "queue leaky=downstream max-size-buffers=30 ! fakesink sync=false async=false", TRUE, nullptr);
  gst_object_ref_sink(peer);
  std::atomic<int> streamed = 0;
  GstPad* pad = gst_element_get_static_pad(peer, "sink");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countBuffer, &streamed, nullptr);
  gst_object_unref(pad);
  (*encoder)->add(GST_ELEMENT(gst_object_ref(peer)), {});
  if (!(*encoder)->configure(kW, kH) || !(*encoder)->link(peer)) std::abort();
  std::shared_ptr<vela::DesktopRecorder> recorder;
  if (mode == Mode::tee) {
    recorder = vela::DesktopRecorder::create(
        std::filesystem::temp_directory_path(),
        [encoder = *encoder](const std::string& path, int w, int h) -> vela::Result<std::shared_ptr<vela::RecordingSink>> {
          return vela::SharedRecording::create(encoder, path, w, h);
        });
    if (!recorder->start(kW, kH)) std::abort();
  }

  const auto frameTime = std::chrono::nanoseconds(1'000'000'000 / kFps);
  const double cpuStart = cpuSeconds();
  const auto start = Clock::now();
  auto due = start;
  for (int i = 0; i < seconds * kFps; ++i) {
    auto copy = std::make_shared<const std::vector<std::uint8_t>>(frames[i % frames.size()]);  // the capture copy
    (*encoder)->push({{copy, copy->data()}, kW, kH, kW * 4, frameTime * i});
    due += frameTime;
    std::this_thread::sleep_until(due);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  Round round;
  round.percent = 100.0 * (cpuSeconds() - cpuStart) / wall;
  round.streamed = streamed.load();

  if (recorder) {
    std::promise<void> done;
    recorder->finalize([&](auto final) {
      if (final) {
        round.recorded = framesIn(final->storage.substr(7));
        std::filesystem::remove(final->storage.substr(7));
      }
      done.set_value();
    });
    done.get_future().get();
  }
  (*encoder)->remove(peer);
  gst_object_unref(peer);
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const auto frames = patterns();
  std::printf(
      "1920x1080 @ %d fps, %d rounds of %d s, median CPU %% of one core\n"
      "(the machine is shared: other load skews these, read them as rough)\n",
      kFps, rounds, seconds);
  // Interleaved rounds, so that a burst of outside load hits every mode alike.
  std::vector<Round> results[2];
  for (int r = 0; r < rounds; ++r) {
    for (Mode m : {Mode::encode, Mode::tee}) results[int(m)].push_back(measure(m, seconds, frames));
  }
  auto median = [](std::vector<Round> v) {
    std::sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.percent < b.percent; });
    return v[v.size() / 2];
  };
  const Round e = median(results[0]), t = median(results[1]);
  const int offered = seconds * kFps;
  std::printf("  mode                                 CPU %%   frames streamed/recorded of %d\n",
              offered);
  std::printf("  frames + encode + fake peer         %6.1f   %d/-\n", e.percent, e.streamed);
  std::printf("  + recording on the shared encoder   %6.1f   %d/%d   (adds %+.1f; goal <= +10)\n",
              t.percent, t.streamed, t.recorded, t.percent - e.percent);
  return 0;
}
