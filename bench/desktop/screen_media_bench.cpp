// A session's capture and encoding on a private Xvfb, at the sizes of common screens:
// for a moving test pattern and for a still screen, the pictures the session encoder
// sends per second, this process's CPU time as % of one core (the X server's beside it)
// and its resident memory, each beside its goal; and for the first change after a still
// period, how long until its picture leaves the encoder. Frames take a session's path:
// from the capturer into the session encoder, each one once.
//
//   bench_screen_media [seconds per run, default 6]
//
// The moving pattern is drawn by a child process, so its cost is not counted here.

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <optional>
#include <thread>

#include <X11/Xlib.h>
#include <gst/gst.h>

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
// Pictures the pattern process has drawn, shared with it: a busy machine may draw fewer
// than 30 a second, and a damage-driven capture cannot send more than were drawn.
std::atomic<std::uint64_t>* patternFrames = nullptr;

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
    ++*patternFrames;
    std::this_thread::sleep_for(33ms);
  }
}

struct Measurement {
  double sent = 0, drawn = 0, cpu = 0, server = 0, rssMB = 0;
  std::optional<double> firstChangeMs;
  double capturedMs = 0;
};

double residentMB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024;
  }
  return 0;
}

// Counts the pictures leaving the encoder and notes when the latest did.
struct Output {
  std::atomic<std::uint64_t> pictures{0};
  std::atomic<std::int64_t> lastNs{0};
};

GstPadProbeReturn countPicture(GstPad*, GstPadProbeInfo*, gpointer data) {
  auto* out = static_cast<Output*>(data);
  ++out->pictures;
  out->lastNs = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
  return GST_PAD_PROBE_OK;
}

Measurement measure(const std::string& display, pid_t server, bool moving, double seconds) {
  auto created = vela::SharedEncoder::create(30);
  if (!created) {
    std::fprintf(stderr, "%s\n", created.error().message.c_str());
    std::exit(1);
  }
  auto encoder = *created;
  Output output;
  GstElement* sink = gst_element_factory_make("fakesink", nullptr);
  g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countPicture, &output, nullptr);
  gst_object_unref(pad);
  encoder->add(sink, {});
  if (!encoder->link(sink)) std::exit(1);

  auto capturer = X11ScreenCapturer::create({30, true});
  // As a session's controller hands frames over; the encoder's first frame fixes its size.
  std::atomic<std::int64_t> capturedNs{0};
  capturer->setOnFrame([encoder, &capturedNs](const vela::PixelBuffer& frame, vela::MediaTime pts) {
    capturedNs = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
    encoder->push({std::shared_ptr<const std::uint8_t>(frame.owner, frame.data), frame.width, frame.height,
                   frame.stride, pts});
  });
  capturer->start(std::nullopt, [](auto) {});
  // Warm-up; a still screen's one picture a second after its last change is behind it.
  std::this_thread::sleep_for(std::max(seconds * 0.25, 1.5) * 1s);
  auto sent0 = output.pictures.load();
  auto drawn0 = patternFrames->load();
  double cpu0 = processCPUSeconds(), server0 = childCPUSeconds(server);
  auto t0 = steady_clock::now();
  std::this_thread::sleep_for(seconds * 1s);
  double wall = duration<double>(steady_clock::now() - t0).count();
  Measurement m{(output.pictures - sent0) / wall, (patternFrames->load() - drawn0) / wall, 100 * (processCPUSeconds() - cpu0) / wall,
                100 * (childCPUSeconds(server) - server0) / wall, residentMB(), std::nullopt};
  if (!moving) {
    // A change after the still period: a rectangle drawn by a client of our own.
    Display* dpy = XOpenDisplay(display.c_str());
    if (dpy) {
      const auto before = output.pictures.load();
      GC gc = XCreateGC(dpy, DefaultRootWindow(dpy), 0, nullptr);
      XSetForeground(dpy, gc, 0xffd23f);
      const auto changed = steady_clock::now();
      XFillRectangle(dpy, DefaultRootWindow(dpy), gc, 100, 100, 200, 40);
      XSync(dpy, False);
      while (output.pictures.load() == before && steady_clock::now() - changed < 5s) std::this_thread::sleep_for(1ms);
      if (output.pictures.load() != before) {
        m.capturedMs = (capturedNs.load() - duration_cast<nanoseconds>(changed.time_since_epoch()).count()) / 1e6;
        m.firstChangeMs =
            (output.lastNs.load() - duration_cast<nanoseconds>(changed.time_since_epoch()).count()) / 1e6;
      }
      XFreeGC(dpy, gc);
      XCloseDisplay(dpy);
    }
  }
  capturer->stop();
  encoder->remove(sink);
  return m;
}

vela::DesktopVideoInput::Size encoderSize(int width, int height) {
  auto encoder = vela::SharedEncoder::create(30);
  return encoder ? (*encoder)->sentSize({width, height}) : vela::DesktopVideoInput::Size{width, height};
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 6.0;
  if (auto ready = vela::GstRuntime::ensureInitialized(); !ready) {
    std::fprintf(stderr, "%s\n", ready.error().message.c_str());
    return 1;
  }
  void* shared = mmap(nullptr, sizeof(std::atomic<std::uint64_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                      -1, 0);
  if (shared == MAP_FAILED) return 1;
  patternFrames = new (shared) std::atomic<std::uint64_t>(0);
  double load[1] = {0};
  getloadavg(load, 1);
  std::printf("Session capture + encoding, 30 fps; load average %.1f on %ld cores at the start (shared machine).\n",
              load[0], sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("%-10s %-7s %9s %9s %8s %8s %8s   %s\n", "screen", "content", "drawn fps", "sent fps", "cpu %",
              "rss MB", "Xvfb %", "goal");
  for (auto [width, height] : {std::pair{1920, 1080}, std::pair{2560, 1440}, std::pair{3840, 2160}}) {
    vela::testing::XvfbServer server(width, height);
    if (!server.running()) {
      std::fprintf(stderr, "Xvfb did not start\n");
      return 1;
    }
    setenv("DISPLAY", server.displayName().c_str(), 1);
    for (bool moving : {true, false}) {
      pid_t pattern = moving ? startPattern(server.displayName(), width, height) : -1;
      if (moving) std::this_thread::sleep_for(1500ms);
      Measurement m = measure(server.displayName(), server.pid(), moving, seconds);
      const auto sent = encoderSize(width, height);
      std::string goal = !moving ? "<= 1 fps, <= 2 %"
                         : width == 1920 ? ">= 29 fps, <= 50 %"
                         : width == 3840 ? ">= 29 fps, <= 60 %"
                                         : "(measured)";
      if (moving && sent.width != width) goal += "  sent at " + std::to_string(sent.width) + "x" + std::to_string(sent.height);
      std::printf("%4dx%-5d %-7s %9.1f %9.1f %8.1f %8.0f %8.1f   %s\n", width, height, moving ? "moving" : "still",
                  m.drawn, m.sent, m.cpu, m.rssMB, m.server, goal.c_str());
      if (m.firstChangeMs) {
        std::printf("%-18s first change after the still period: captured after %.0f ms, encoded after %.0f ms"
                    "   (goal: within 33 ms + the moving latency)\n", "", m.capturedMs, *m.firstChangeMs);
      }
      std::fflush(stdout);
      if (pattern > 0) {
        kill(pattern, SIGTERM);
        waitpid(pattern, nullptr, 0);
      }
    }
  }
  getloadavg(load, 1);
  std::printf("Load average %.1f at the end. Glass-to-glass to a browser is bench/webrtc_browser_bench.py's.\n",
              load[0]);
  return 0;
}
