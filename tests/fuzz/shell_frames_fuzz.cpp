// Feeds arbitrary text to the shell-frame decoder as the gateway client does. Beyond
// not crashing: a decoded frame written back the way the gateway writes it decodes to
// the same frame, and the agent's answers for its session are canonical JSON that
// carry the same session id and bytes back.

#include <cstdint>
#include <type_traits>

#include "fuzz_check.h"
#include "remote/shell_frames.h"
#include "util/base64.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"

namespace {

using vela::IncomingShellFrame;
using vela::JSONValue;
using vela::OutgoingShellFrame;
using vela::fuzz::check;

JSONValue wire(const IncomingShellFrame& frame) {
  JSONValue out{{"session_id", frame.sessionID()}, {"v", 1}};
  std::visit(
      [&out](const auto& p) {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, IncomingShellFrame::Open>) {
          out.set("type", "shell.open");
          out.set("shell", p.shell);
          out.set("cols", p.cols);
          out.set("rows", p.rows);
        } else if constexpr (std::is_same_v<T, IncomingShellFrame::Stdin>) {
          out.set("type", "shell.stdin");
          out.set("data", vela::Base64::encode(p.data));
        } else if constexpr (std::is_same_v<T, IncomingShellFrame::Resize>) {
          out.set("type", "shell.resize");
          out.set("cols", p.cols);
          out.set("rows", p.rows);
        } else {
          out.set("type", "shell.close");
          out.set("reason", p.reason);
        }
      },
      frame.payload);
  return out;
}

// The answer decodes as canonical JSON of the frame's session.
JSONValue answerDocument(const OutgoingShellFrame& answer, const std::string& sessionID) {
  std::string text = answer.json();
  auto document = vela::JSONScanner::parse(text);
  check(document.has_value(), "an answer is not JSON");
  check(vela::CanonicalJSON::encode(*document) == text, "an answer is not canonical");
  const JSONValue* session = (*document)["session_id"];
  check(session && session->isString() && *session->stringRef() == sessionID,
        "an answer carries another session id");
  return std::move(*document);
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
  JSONValue out = answerDocument(OutgoingShellFrame{OutgoingShellFrame::Stdout{id, echoed}}, id);
  const JSONValue* encoded = out["data"];
  auto bytes = encoded && encoded->isString() ? vela::Base64::decode(*encoded->stringRef())
                                              : std::nullopt;
  check(bytes && *bytes == echoed, "stdout does not carry the bytes back");

  std::string message = id;  // arbitrary text in an error message
  answerDocument(OutgoingShellFrame{OutgoingShellFrame::Error{id, "spawn_failed", message}}, id);
  answerDocument(OutgoingShellFrame{OutgoingShellFrame::Exit{id, std::nullopt, 9}}, id);
  return 0;
}
