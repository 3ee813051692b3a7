// Drives one session's media made by the desktop module (loaded as the agent loads it)
// from a test script over standard input and output, one JSON document per line, so a
// browser test can relay signalling between the peer and the operator page. Frames are
// a moving test pattern pushed into the session's encoder at the requested rate, as
// the session's capture would; the recording is not started.
//
// In:  {"cmd":"start","width":W,"height":H,"fps":F}   {"cmd":"frame","text":<desktop frame>}
//      {"cmd":"send","text":T}  {"cmd":"res","w":W,"h":H,"fps":F}  {"cmd":"renegotiate"}
//      {"cmd":"cpu"}  {"cmd":"close"}  {"cmd":"quit"}
// Out: {"ev":"frame","text":<desktop.signal frame>}  {"ev":"control","text":T}
//      {"ev":"state","state":S}
//      {"ev":"cpu","process":s,"pattern":s,"wall":s,"encoded":frames}
//      {"ev":"pushed","n":N,"t":ms}  (with --stamps)  {"ev":"closed"}

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <ctime>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "../test_pattern.h"
#include "desktop/host/desktop_module.h"
#include "desktop/linux/webrtc/peer_introspection.h"
#include "desktop/desktop_frames.h"

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

}  // namespace

int main(int argc, char** argv) {
  const bool stamps = argc > 1 && std::string_view(argv[1]) == "--stamps";
  auto services = vela::DesktopModule::services();
  if (!services || !(*services)->media) {
    std::cerr << (services ? "no WebRTC backend" : services.error().message) << "\n";
    return 2;
  }
  auto media = (*services)->media->makeSessionMedia("");
  if (!media) {
    std::cerr << media.error() << "\n";
    return 2;
  }
  const std::shared_ptr<vela::DesktopPeer> peer = media->peer;
  const std::shared_ptr<vela::DesktopVideoInput> video = media->video;
  const auto relay = [](vela::DesktopSignal signal) {
    vela::OutgoingDesktopFrame frame{vela::OutgoingDesktopFrame::Signal{"test", std::move(signal)}};
    emit({{"ev", "frame"}, {"text", frame.json()}});
  };
  peer->setOnLocalDescription(
      [&](const vela::SessionDescription& d) { relay(vela::DesktopSignal::fromDescription(d)); });
  peer->setOnLocalCandidate([&](const vela::IceCandidate& c) { relay(vela::DesktopSignal{c}); });
  peer->setOnControlData([](const std::string& bytes) { emit({{"ev", "control"}, {"text", bytes}}); });
  peer->setOnConnectionState([](const std::string& state) { emit({{"ev", "state"}, {"state", state}}); });

  // The moving pattern at the requested rate, and the CPU time its drawing took.
  std::atomic<double> patternSeconds{0};
  std::jthread pusher;
  std::string line;
  while (std::getline(std::cin, line)) {
    const auto command = nlohmann::json::parse(line, nullptr, false);
    if (!command.is_object()) continue;
    const std::string cmd = command.value("cmd", "");
    if (cmd == "start") {
      peer->start({});
      pusher = std::jthread([&, width = command.value("width", 1280), height = command.value("height", 720),
                             fps = command.value("fps", 30)](std::stop_token stop) {
        vela::testing::TestPattern pattern(width, height);
        const auto period = std::chrono::nanoseconds(1'000'000'000 / std::max(1, fps));
        auto due = std::chrono::steady_clock::now();
        for (std::uint32_t n = 1; !stop.stop_requested(); ++n) {
          const double before = seconds(CLOCK_THREAD_CPUTIME_ID);
          auto frame = pattern.next(n);
          patternSeconds = patternSeconds.load() + seconds(CLOCK_THREAD_CPUTIME_ID) - before;
          frame.pts = std::chrono::steady_clock::now().time_since_epoch();
          const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::system_clock::now().time_since_epoch());
          if (stamps) emit({{"ev", "pushed"}, {"n", n}, {"t", ms.count()}});
          video->push(frame);
          std::this_thread::sleep_until(due += period);
        }
      });
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
    } else if (cmd == "cpu") {
      auto* concrete = dynamic_cast<vela::PeerIntrospection*>(peer.get());
      emit({{"ev", "cpu"},
            {"encoded", concrete ? concrete->framesEncodedForTesting() : 0},
            {"process", seconds(CLOCK_PROCESS_CPUTIME_ID)},
            {"pattern", patternSeconds.load()},
            {"wall", seconds(CLOCK_MONOTONIC)}});
    } else if (cmd == "close") {
      peer->close();
      emit({{"ev", "closed"}});
    } else if (cmd == "quit") {
      break;
    }
  }
  pusher = {};
  peer->close();
  return 0;
}
