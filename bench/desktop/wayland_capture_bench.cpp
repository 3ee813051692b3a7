// One capture backend's own cost: frames delivered to a consumer that only counts them,
// and this process's CPU time (every thread: GDBus, PipeWire, GStreamer), no encoding.
// Driven by wayland_capture_bench.py, which runs it in a headless GNOME session (gnome,
// and portal, whose dialog the script answers) and on Xvfb (x11) with the same animated
// window, and on a still screen. Prints one JSON line.
//
//   bench_wayland_capture gnome|portal|x11 SECONDS [SETTLE_SECONDS [FPS, default 30]]
//
// Frames are counted after SETTLE_SECONDS (default 1), so the first picture of a still
// screen is left out; "new" counts frames whose pixels may differ from the previous one.

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "desktop/linux/portal/portal_session.h"
#include "desktop/linux/wayland/gnome_screen_capturer.h"
#include "desktop/linux/x11/x11_screen_capturer.h"

namespace {

using namespace std::chrono;

double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s gnome|portal|x11 SECONDS [SETTLE_SECONDS]\n", argv[0]);
    return 2;
  }
  const std::string backend = argv[1];
  const double seconds = std::atof(argv[2]);
  const double settle = argc > 3 ? std::atof(argv[3]) : 1.0;
  const int fps = argc > 4 ? std::atoi(argv[4]) : 30;
  std::shared_ptr<vela::ScreenCapturer> capturer;
  if (backend == "gnome") {
    capturer = vela::GnomeScreenCapturer::create({fps, true});
  } else if (backend == "portal") {
    capturer = vela::GnomeScreenCapturer::create({fps, true}, vela::PortalRemoteSession::opener(), true);
  } else {
    capturer = vela::X11ScreenCapturer::create({fps, true});
  }
  std::atomic<bool> counting{false};
  std::atomic<long> frames{0}, fresh{0};
  std::uint64_t lastSerial = 0;  // the sample queue's only
  int width = 0, height = 0;
  capturer->setOnFrame([&](const vela::PixelBuffer& frame, vela::MediaTime) {
    width = frame.width;
    height = frame.height;
    if (!counting) return;
    ++frames;
    if (frame.contentSerial != lastSerial) ++fresh;
    lastSerial = frame.contentSerial;
  });
  std::atomic<bool> started{false}, failed{false};
  capturer->start(std::nullopt, [&](vela::Result<vela::ScreenCapturer::Size, vela::CaptureError> result) {
    if (!result) {
      std::fprintf(stderr, "capture failed: %s\n", result.error().description().c_str());
      failed = true;
    }
    started = true;
  });
  while (!started) std::this_thread::sleep_for(10ms);
  if (failed) return 1;
  std::this_thread::sleep_for(duration<double>(settle));
  const double cpuBefore = processCPUSeconds();
  counting = true;
  std::this_thread::sleep_for(duration<double>(seconds));
  counting = false;
  const double cpu = processCPUSeconds() - cpuBefore;
  capturer->stop();
  std::printf(
      "{\"backend\":\"%s\",\"width\":%d,\"height\":%d,\"seconds\":%.1f,\"frames\":%ld,\"new_frames\":%ld,"
      "\"cpu_s\":%.3f,\"cpu_pct\":%.1f,\"cpu_ms_per_frame\":%.2f}\n",
      backend.c_str(), width, height, seconds, frames.load(), fresh.load(), cpu, 100 * cpu / seconds,
      frames ? 1000 * cpu / frames.load() : 0.0);
  return 0;
}
