// CPU cost of recording on top of streaming, in % of one core, at 1920×1080 and 30 fps:
//   encode        frames → I420 → x264 → fake peer sink (what streaming alone costs)
//   encode+tee    the same encoder, its output teed into the recording tail as well
//   encode+own    streaming plus a DesktopRecorder with its own conversion and encoder
// Frames are a moving BGRA test pattern pushed in real time and copied once per frame,
// as the capturer's shared-memory read would.
// Usage: bench_recording_cpu [seconds per round] [rounds]

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "desktop/linux/recording/desktop_recorder.h"
#include "desktop/linux/recording/recording_branch.h"

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

struct Streaming {
  std::atomic<int> encoded = 0;
  GstElement* pipeline = nullptr;
  GstElement* source = nullptr;
  GstElement* tee = nullptr;
};

void streaming(Streaming& s) {
  std::string caps = "video/x-raw,format=BGRA,width=" + std::to_string(kW) +
                     ",height=" + std::to_string(kH) + ",framerate=" + std::to_string(kFps) + "/1";
  // Leaky like the recorder's input: a starved encoder drops frames instead of
  // deferring the work past the measured window.
  std::string text =
      "appsrc name=src is-live=true format=time max-buffers=4 leaky-type=downstream caps=" + caps +
      " ! videoconvert ! video/x-raw,format=I420"
      " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=60 bitrate=6000"
      " ! video/x-h264,profile=constrained-baseline ! h264parse ! tee name=t"
      " t. ! queue leaky=downstream max-size-buffers=30 ! fakesink name=peer sync=false";
  s.pipeline = gst_parse_launch(text.c_str(), nullptr);
  s.source = gst_bin_get_by_name(GST_BIN(s.pipeline), "src");
  s.tee = gst_bin_get_by_name(GST_BIN(s.pipeline), "t");
  GstElement* peer = gst_bin_get_by_name(GST_BIN(s.pipeline), "peer");
  GstPad* pad = gst_element_get_static_pad(peer, "sink");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countBuffer, &s.encoded, nullptr);
  gst_object_unref(pad);
  gst_object_unref(peer);
}

enum class Mode { encode, tee, own };

struct Round {
  double percent = 0;
  int streamed = 0;  // frames through the encoder to the fake peer
  int recorded = 0;  // frames in the recording file
};

Round measure(Mode mode, int seconds, const std::vector<std::vector<std::uint8_t>>& frames) {
  Streaming s;
  streaming(s);
  const auto dir = std::filesystem::temp_directory_path();
  std::optional<vela::RecordingBranch> branch;
  if (mode == Mode::tee) {
    branch.emplace(*vela::RecordingBranch::create(GST_BIN(s.pipeline), dir / "bench-tee.mp4"));
    GstPad* pad = gst_element_request_pad_simple(s.tee, "src_%u");
    gst_pad_link(pad, branch->sinkPad());
    gst_object_unref(pad);
  }
  std::shared_ptr<vela::DesktopRecorder> recorder;
  if (mode == Mode::own) {
    recorder = vela::DesktopRecorder::create(dir);
    if (!recorder->start(kW, kH)) std::abort();
  }
  gst_element_set_state(s.pipeline, GST_STATE_PLAYING);

  const auto frameTime = std::chrono::nanoseconds(1'000'000'000 / kFps);
  const double cpuStart = cpuSeconds();
  const auto start = Clock::now();
  auto due = start;
  for (int i = 0; i < seconds * kFps; ++i) {
    const auto& f = frames[i % frames.size()];
    GstBuffer* buffer = gst_buffer_new_memdup(f.data(), f.size());  // the capture copy
    GST_BUFFER_PTS(buffer) = GstClockTime(frameTime.count()) * i;
    gst_app_src_push_buffer(GST_APP_SRC(s.source), buffer);
    if (recorder) recorder->append(vela::BGRAFrame{f.data(), kW, kH, kW * 4}, frameTime * i);
    due += frameTime;
    std::this_thread::sleep_until(due);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  Round round;
  round.percent = 100.0 * (cpuSeconds() - cpuStart) / wall;
  round.streamed = s.encoded.load();

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
  gst_element_set_state(s.pipeline, GST_STATE_NULL);
  if (mode == Mode::tee) round.recorded = framesIn(dir / "bench-tee.mp4");
  gst_object_unref(s.source);
  gst_object_unref(s.tee);
  gst_object_unref(s.pipeline);
  std::filesystem::remove(dir / "bench-tee.mp4");
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
  std::vector<Round> results[3];
  for (int r = 0; r < rounds; ++r) {
    for (Mode m : {Mode::encode, Mode::tee, Mode::own})
      results[int(m)].push_back(measure(m, seconds, frames));
  }
  auto median = [](std::vector<Round> v) {
    std::sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.percent < b.percent; });
    return v[v.size() / 2];
  };
  const Round e = median(results[0]), t = median(results[1]), o = median(results[2]);
  const int offered = seconds * kFps;
  std::printf("  mode                                 CPU %%   frames streamed/recorded of %d\n",
              offered);
  std::printf("  frames + encode + fake peer         %6.1f   %d/-\n", e.percent, e.streamed);
  std::printf("  + recording on the shared encoder   %6.1f   %d/%d   (adds %+.1f; goal <= +10)\n",
              t.percent, t.streamed, t.recorded, t.percent - e.percent);
  std::printf("  + recording with its own encoder    %6.1f   %d/%d   (adds %+.1f)\n", o.percent,
              o.streamed, o.recorded, o.percent - e.percent);
  return 0;
}
