// Text for the desktop-frame decoder as the gateway client (and the desktop helper, which
// gets the same lines relayed) reads it; what decodes is answered, and a signal relayed
// back out, as the agent writes them.

#include "fuzz_check.h"
#include "desktop/desktop_frames.h"

using vela::IncomingDesktopFrame;
using vela::OutgoingDesktopFrame;
using vela::fuzz::check;
using vela::fuzz::sessionFrame;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto frame = IncomingDesktopFrame::parse(vela::fuzz::text(data, size));
  if (!frame) return 0;
  const std::string& id = frame->sessionID();

  if (const auto* signal = std::get_if<IncomingDesktopFrame::Signal>(&frame->payload)) {
    std::string out = OutgoingDesktopFrame{OutgoingDesktopFrame::Signal{id, signal->signal}}.json();
    sessionFrame(out, id);
    auto back = IncomingDesktopFrame::parse(out);
    check(back.has_value(), "a relayed signal does not decode");
    const auto* relayed = std::get_if<IncomingDesktopFrame::Signal>(&back->payload);
    check(relayed && relayed->sessionID == id && relayed->signal == signal->signal,
          "a relayed signal decodes differently");
    if (auto description = signal->signal.description()) {
      check(vela::DesktopSignal::fromDescription(*description) == signal->signal,
            "an offer or answer does not survive the peer's description");
    }
  } else if (const auto* open = std::get_if<IncomingDesktopFrame::Open>(&frame->payload)) {
    const vela::DesktopOpenConfig& config = open->config;
    for (const auto& server : config.iceServers) {
      check(!server.urls.empty(), "an ICE server without URLs");
    }
    sessionFrame(OutgoingDesktopFrame{OutgoingDesktopFrame::Closed{id, config.mode}}.json(), id);
  } else {
    const auto& close = std::get<IncomingDesktopFrame::Close>(frame->payload);
    sessionFrame(OutgoingDesktopFrame{OutgoingDesktopFrame::Closed{id, close.reason}}.json(), id);
  }
  sessionFrame(OutgoingDesktopFrame{OutgoingDesktopFrame::Error{id, id}}.json(), id);
  sessionFrame(
      OutgoingDesktopFrame{OutgoingDesktopFrame::RecordingFinal{id, id, 1, 0.5, id, id}}.json(), id);
  return 0;
}
