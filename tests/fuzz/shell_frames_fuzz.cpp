// Text for the shell-frame decoder as the gateway client reads it; a decoded frame is
// written back the way the gateway writes it, and answered as the agent does.

#include <type_traits>

#include "fuzz_check.h"
#include "remote/shell_frames.h"
#include "util/base64.h"
#include "util/canonical_json.h"

namespace {

using vela::IncomingShellFrame;
using vela::JSONValue;
using vela::OutgoingShellFrame;
using vela::fuzz::check;
using vela::fuzz::sessionFrame;

JSONValue wire(const IncomingShellFrame& frame) {
  JSONValue out = std::visit(
      [](const auto& p) -> JSONValue {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, IncomingShellFrame::Open>) {
          return {{"type", "shell.open"}, {"shell", p.shell}, {"cols", p.cols}, {"rows", p.rows}};
        } else if constexpr (std::is_same_v<T, IncomingShellFrame::Stdin>) {
          return {{"type", "shell.stdin"}, {"data", vela::Base64::encode(p.data)}};
        } else if constexpr (std::is_same_v<T, IncomingShellFrame::Resize>) {
          return {{"type", "shell.resize"}, {"cols", p.cols}, {"rows", p.rows}};
        } else {
          return {{"type", "shell.close"}, {"reason", p.reason}};
        }
      },
      frame.payload);
  out.set("session_id", frame.sessionID());
  out.set("v", 1);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto frame = IncomingShellFrame::parse(vela::fuzz::text(data, size));
  if (!frame) return 0;
  auto again = IncomingShellFrame::parse(vela::CanonicalJSON::encode(wire(*frame)));
  check(again.has_value(), "a re-encoded frame does not decode");
  check(*again == *frame, "a re-encoded frame decodes differently");

  const std::string& id = frame->sessionID();
  vela::Bytes echoed;
  if (const auto* in = std::get_if<IncomingShellFrame::Stdin>(&frame->payload)) echoed = in->data;
  JSONValue out = sessionFrame(OutgoingShellFrame{OutgoingShellFrame::Stdout{id, echoed}}.json(), id);
  const JSONValue* encoded = out["data"];
  auto bytes = encoded && encoded->isString() ? vela::Base64::decode(*encoded->stringRef())
                                              : std::nullopt;
  check(bytes && *bytes == echoed, "stdout does not carry the bytes back");

  std::string message = id;  // arbitrary text in an error message
  sessionFrame(OutgoingShellFrame{OutgoingShellFrame::Error{id, "spawn_failed", message}}.json(), id);
  sessionFrame(OutgoingShellFrame{OutgoingShellFrame::Exit{id, std::nullopt, 9}}.json(), id);
  return 0;
}
