// Drives one peer made by the desktop module (loaded as the agent loads it) from a test
// script over standard input and output, one JSON document per line, so a browser test
// can relay signalling between it and the operator page. Frames are a moving test
// pattern pushed at the requested rate.
//
// With --session DIR the peer comes with a recording into DIR behind one shared encoder,
// fed as the session controller feeds them: every frame is appended to the recording,
// then pushed to the peer. "start" then starts only the recording; "peer" starts the peer.
//
// In:  {"cmd":"start","width":W,"height":H,"fps":F}   {"cmd":"frame","text":<desktop frame>}
//      {"cmd":"send","text":T}  {"cmd":"res","w":W,"h":H,"fps":F}  {"cmd":"renegotiate"}
//      {"cmd":"bitrate"}  {"cmd":"cpu"}  {"cmd":"close"}  {"cmd":"quit"}
//      {"cmd":"peer"}  {"cmd":"finalize"}  {"cmd":"x264"}  (with --session)
// Out: {"ev":"frame","text":<desktop.signal frame>}  {"ev":"control","text":T}
//      {"ev":"state","state":S}  {"ev":"bitrate","kbps":N}
//      {"ev":"cpu","process":s,"pattern":s,"wall":s,"encoded":frames}
//      {"ev":"pushed","n":N,"t":ms}  (with --stamps)  {"ev":"closed"}
//      {"ev":"durable","bytes":N}  {"ev":"recording",...}  {"ev":"x264","count":N}
//      (x264 counts live x264enc elements, -1 unless GST_TRACERS="leaks(filters=GstX264Enc)")

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <ctime>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <gst/gst.h>

#include "../../recording/media_check.h"
#include "../test_pattern.h"
#include "desktop/host/desktop_module.h"
#include "desktop/webrtc/peer_introspection.h"
#include "remote/desktop/desktop_frames.h"

namespace {

std::mutex outLock;

void emit(const nlohmann::json& event) {
  const std::string line = event.dump();
  std::lock_guard guard(outLock);
  std::cout << line << '\n' << std::flush;
}

double seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::int64_t wallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class Pusher {
 public:
  Pusher(std::shared_ptr<vela::DesktopPeer> peer, std::shared_ptr<vela::DesktopRecording> recording, int width,
         int height, int fps, bool stamps)
      : peer_(std::move(peer)),
        recording_(std::move(recording)),
        width_(width),
        height_(height),
        fps_(fps),
        stamps_(stamps) {
    thread_ = std::thread([this] { run(); });
  }
  ~Pusher() {
    stop_ = true;
    thread_.join();
  }
  double patternSeconds() const { return patternSeconds_.load(); }

 private:
  void run() {
    vela::testing::TestPattern pattern(width_, height_);
    const auto period = std::chrono::nanoseconds(1'000'000'000 / std::max(1, fps_));
    auto due = std::chrono::steady_clock::now();
    for (std::uint32_t n = 1; !stop_; ++n) {
      const double before = seconds(CLOCK_THREAD_CPUTIME_ID);
      auto frame = pattern.next(n);
      patternSeconds_ = patternSeconds_.load() + seconds(CLOCK_THREAD_CPUTIME_ID) - before;
      frame.pts = std::chrono::steady_clock::now().time_since_epoch();
      if (stamps_) emit({{"ev", "pushed"}, {"n", n}, {"t", wallMillis()}});
      if (recording_) {
        recording_->append(vela::BGRAFrame{frame.pixels.get(), frame.width, frame.height, frame.stride}, frame.pts);
      }
      peer_->pushVideoFrame(frame);
      due += period;
      std::this_thread::sleep_until(due);
    }
  }

  std::shared_ptr<vela::DesktopPeer> peer_;
  std::shared_ptr<vela::DesktopRecording> recording_;
  const int width_, height_, fps_;
  const bool stamps_;
  std::atomic<bool> stop_{false};
  std::atomic<double> patternSeconds_{0};
  std::thread thread_;
};

}  // namespace

// The leaks tracer, told to track x264enc only, knows every live one in the process.
int liveX264Encoders() {
  int count = -1;
  GList* tracers = gst_tracing_get_active_tracers();
  for (GList* t = tracers; t; t = t->next) {
    if (std::string_view(G_OBJECT_TYPE_NAME(t->data)) != "GstLeaksTracer") continue;
    GstStructure* live = nullptr;
    g_signal_emit_by_name(t->data, "get-live-objects", &live);
    const GValue* list = live ? gst_structure_get_value(live, "live-objects-list") : nullptr;
    count = list ? static_cast<int>(gst_value_list_get_size(list)) : 0;
    // Not freed: the list names the objects without holding references, yet freeing it
    // would drop one from each (the encoder would go while playing).
  }
  g_list_free_full(tracers, gst_object_unref);
  return count;
}

void reportRecording(const std::optional<vela::DesktopRecordingFinal>& final) {
  if (!final) {
    emit({{"ev", "recording"}, {"final", false}});
    return;
  }
  const auto media = vela::testing::decodeMp4(final->storage.substr(std::string_view("file://").size()));
  emit({{"ev", "recording"},
        {"final", true},
        {"bytes", final->bytes},
        {"durationS", final->durationS},
        {"decodeError", media.error},
        {"width", media.width},
        {"height", media.height},
        {"frames", media.frames},
        {"decodedS", media.endS - media.firstS}});
}

int main(int argc, char** argv) {
  bool stamps = false;
  std::optional<std::string> sessionDirectory;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--stamps") stamps = true;
    if (arg == "--session" && i + 1 < argc) sessionDirectory = argv[++i];
  }
  auto backend = vela::DesktopModule::backend();
  if (!backend) {
    std::cerr << backend.error().message << "\n";
    return 2;
  }
  std::shared_ptr<vela::DesktopPeer> peer;
  std::shared_ptr<vela::DesktopRecording> recording;
  if (sessionDirectory) {
    auto media = (*backend)->makeSessionMedia(*sessionDirectory);
    if (!media) {
      std::cerr << media.error() << "\n";
      return 2;
    }
    peer = media->peer;
    recording = media->recording;
  } else {
    peer = (*backend)->makePeer();
  }
  if (!peer) {
    std::cerr << "no WebRTC backend\n";
    return 2;
  }
  const std::string session = "test";
  peer->setOnLocalDescription([&](const vela::SessionDescription& d) {
    vela::OutgoingDesktopFrame frame{vela::OutgoingDesktopFrame::Signal{session, vela::DesktopSignal::fromDescription(d)}};
    emit({{"ev", "frame"}, {"text", frame.json()}});
  });
  peer->setOnLocalCandidate([&](const vela::IceCandidate& c) {
    vela::OutgoingDesktopFrame frame{vela::OutgoingDesktopFrame::Signal{session, vela::DesktopSignal{c}}};
    emit({{"ev", "frame"}, {"text", frame.json()}});
  });
  peer->setOnControlData([](const std::string& bytes) { emit({{"ev", "control"}, {"text", bytes}}); });
  peer->setOnConnectionState([](const std::string& state) { emit({{"ev", "state"}, {"state", state}}); });

  std::unique_ptr<Pusher> pusher;
  std::string line;
  while (std::getline(std::cin, line)) {
    const auto command = nlohmann::json::parse(line, nullptr, false);
    if (!command.is_object()) continue;
    const std::string cmd = command.value("cmd", "");
    if (cmd == "start") {
      const int width = command.value("width", 1280), height = command.value("height", 720);
      if (recording) {
        recording->setOnFirstChunkDurable([weak = std::weak_ptr(recording)] {
          if (auto r = weak.lock()) emit({{"ev", "durable"}, {"bytes", r->bytesWritten()}});
        });
        if (auto started = recording->start(width, height); !started) {
          std::cerr << started.error().message << "\n";
          return 3;
        }
      } else {
        peer->start({});
      }
      pusher = std::make_unique<Pusher>(peer, recording, width, height, command.value("fps", 30), stamps);
    } else if (cmd == "peer") {
      peer->start({});
      peer->setTargetResolution(command.value("width", 1280), command.value("height", 720), 30);
    } else if (cmd == "finalize" && recording) {
      recording->finalize(reportRecording);
    } else if (cmd == "x264") {
      emit({{"ev", "x264"}, {"count", liveX264Encoders()}});
    } else if (cmd == "frame") {
      const auto frame = vela::IncomingDesktopFrame::parse(command.value("text", ""));
      const auto* signal = frame ? std::get_if<vela::IncomingDesktopFrame::Signal>(&frame->payload) : nullptr;
      if (!signal) continue;
      if (auto description = signal->signal.description()) {
        peer->setRemoteDescription(*description);
      } else if (const auto* candidate = std::get_if<vela::IceCandidate>(&signal->signal.payload)) {
        peer->addRemoteCandidate(*candidate);
      }
    } else if (cmd == "send") {
      peer->sendControl(command.value("text", ""));
    } else if (cmd == "res") {
      peer->setTargetResolution(command.value("w", 0), command.value("h", 0), command.value("fps", 30));
    } else if (cmd == "renegotiate") {
      peer->renegotiate();
    } else if (cmd == "bitrate") {
      auto* concrete = dynamic_cast<vela::PeerIntrospection*>(peer.get());
      emit({{"ev", "bitrate"}, {"kbps", concrete ? concrete->encoderBitrateKbpsForTesting().value_or(0) : 0}});
    } else if (cmd == "cpu") {
      auto* concrete = dynamic_cast<vela::PeerIntrospection*>(peer.get());
      emit({{"ev", "cpu"},
            {"encoded", concrete ? concrete->framesEncodedForTesting() : 0},
            {"process", seconds(CLOCK_PROCESS_CPUTIME_ID)},
            {"pattern", pusher ? pusher->patternSeconds() : 0.0},
            {"wall", seconds(CLOCK_MONOTONIC)}});
    } else if (cmd == "close") {
      peer->close();
      emit({{"ev", "closed"}});
    } else if (cmd == "quit") {
      break;
    }
  }
  pusher.reset();
  peer->close();
  return 0;
}
