// Screen capture and capture + H.264 cost on a private Xvfb, in the terms of the media
// trial on this kind of machine: delivered frames per second and CPU time of this
// process as % of one core (the X server's own share printed beside it), at 1280x720 and
// 1920x1080, 30 fps, for a moving test pattern and for a still desktop. Frames take a
// session's path: from the capturer into the session encoder, each one once.
//
//   bench_screen_media [seconds per run, default 6]
//
// The moving pattern is drawn by a child process, so its cost is not counted here.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <X11/Xlib.h>

#include "desktop/linux/media/gst_runtime.h"
#include "desktop/linux/media/shared_encoder.h"
#include "desktop/linux/x11/x11_screen_capturer.h"
#include "support/xvfb_server.h"

namespace {

using namespace std::chrono;
using vela::X11ScreenCapturer;

double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double childCPUSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  for (int i = 1; i <= 13 && stat >> field; ++i) {
  }
  long utime = 0, stime = 0;
  stat >> utime >> stime;
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

// A child process scrolls colour bars and a gradient across the whole screen at 30 fps.
pid_t startPattern(const std::string& display, int width, int height) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  Display* dpy = XOpenDisplay(display.c_str());
  if (!dpy) _exit(1);
  constexpr int kSpan = 512;  // the pattern repeats every kSpan pixels, so scrolling wraps seamlessly
  int patternWidth = width + kSpan;
  auto* pixels = static_cast<std::uint32_t*>(malloc(static_cast<std::size_t>(patternWidth) * height * 4));
  static constexpr std::uint32_t kBars[] = {0xc0c0c0, 0xc0c000, 0x00c0c0, 0x00c000, 0xc000c0, 0xc00000, 0x0000c0, 0x101010};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < patternWidth; ++x) {
      int u = x % kSpan;
      pixels[static_cast<std::size_t>(y) * patternWidth + x] =
          y < height * 2 / 3 ? kBars[u * 8 / kSpan] : static_cast<std::uint32_t>((u / 2) * 0x010101 + (y & 0x3f));
    }
  XImage* image = XCreateImage(dpy, DefaultVisual(dpy, 0), 24, ZPixmap, 0, reinterpret_cast<char*>(pixels),
                               patternWidth, height, 32, 0);
  GC gc = XCreateGC(dpy, DefaultRootWindow(dpy), 0, nullptr);
  for (int frame = 0;; ++frame) {
    XPutImage(dpy, DefaultRootWindow(dpy), gc, image, (frame * 8) % kSpan, 0, 0, 0, width, height);
    XSync(dpy, False);
    std::this_thread::sleep_for(33ms);
  }
}

struct Measurement {
  double fps = 0, reads = 0, cpu = 0, server = 0;
};

Measurement measure(bool encode, pid_t server, double seconds) {
  auto capturer = X11ScreenCapturer::create({30, true});
  std::shared_ptr<vela::SharedEncoder> encoder;
  if (encode) {
    auto created = vela::SharedEncoder::create(30);
    if (!created) {
      std::fprintf(stderr, "%s\n", created.error().message.c_str());
      std::exit(1);
    }
    encoder = *created;
  }
  // As a session's controller hands frames over; the encoder's first frame fixes its size.
  capturer->setOnFrame([encoder](const vela::PixelBuffer& frame, vela::MediaTime pts) {
    if (!encoder) return;
    encoder->push({std::shared_ptr<const std::uint8_t>(frame.owner, frame.data), frame.width, frame.height,
                   frame.stride, pts});
  });
  capturer->start(std::nullopt, [](auto) {});
  std::this_thread::sleep_for(seconds * 0.25 * 1s);  // encoder warm-up
  auto delivered0 = capturer->stats().delivered, reads0 = capturer->stats().reads;
  double cpu0 = processCPUSeconds(), server0 = childCPUSeconds(server);
  auto t0 = steady_clock::now();
  std::this_thread::sleep_for(seconds * 1s);
  double wall = duration<double>(steady_clock::now() - t0).count();
  Measurement m{(capturer->stats().delivered - delivered0) / wall, (capturer->stats().reads - reads0) / wall,
                100 * (processCPUSeconds() - cpu0) / wall, 100 * (childCPUSeconds(server) - server0) / wall};
  capturer->stop();
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 6.0;
  if (auto ready = vela::GstRuntime::ensureInitialized(); !ready) {
    std::fprintf(stderr, "%s\n", ready.error().message.c_str());
    return 1;
  }
  std::printf("%-10s %-8s %-16s %8s %8s %10s %10s\n", "size", "content", "pipeline", "fps", "reads/s", "cpu %",
              "Xvfb cpu %");
  for (auto [width, height] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
    vela::testing::XvfbServer server(width, height);
    if (!server.running()) {
      std::fprintf(stderr, "Xvfb did not start\n");
      return 1;
    }
    setenv("DISPLAY", server.displayName().c_str(), 1);
    for (bool moving : {true, false}) {
      pid_t pattern = moving ? startPattern(server.displayName(), width, height) : -1;
      if (moving) std::this_thread::sleep_for(1500ms);
      for (bool encode : {false, true}) {
        Measurement m = measure(encode, server.pid(), seconds);
        std::printf("%4dx%-5d %-8s %-16s %8.1f %8.1f %10.1f %10.1f\n", width, height, moving ? "moving" : "still",
                    encode ? "capture+encode" : "capture", m.fps, m.reads, m.cpu, m.server);
        std::fflush(stdout);
      }
      if (pattern > 0) {
        kill(pattern, SIGTERM);
        waitpid(pattern, nullptr, 0);
      }
    }
  }
  std::printf("\nTrial figures (platform-linux.md, %% of one core, 30 fps): 720p capture 1, +I420 6, +x264 17-20;\n"
              "1080p capture 1, +I420 12, +x264 29-30 (noise worst case 41). Goals: moving 1080p30 <= 30, still <= 5.\n");
  return 0;
}
