#include "remote/shell_frames.h"

#include "util/base64.h"
#include "util/canonical_json.h"
#include "desktop/session_frame.h"

namespace vela {

namespace {

std::string stringOr(const JSONValue& object, std::string_view key, std::string fallback) {
  const std::string* s = object.stringAt(key);
  return s ? *s : fallback;
}

std::int64_t intOr(const JSONValue& object, std::string_view key, std::int64_t fallback) {
  const JSONValue* v = object[key];
  if (!v) return fallback;
  return v->intValue().value_or(fallback);
}

JSONValue optionalNumber(const std::optional<std::int64_t>& n) {
  if (!n) return JSONValue(nullptr);
  return JSONValue(*n);
}

}  // namespace

std::optional<IncomingShellFrame> IncomingShellFrame::parse(std::string_view text) {
  auto frame = SessionFrame::parse(text);
  if (!frame) return std::nullopt;
  return from(*frame);
}

std::optional<IncomingShellFrame> IncomingShellFrame::from(const SessionFrame& frame) {
  const JSONValue& root = frame.root;
  const std::string& t = frame.type;
  std::string id = frame.sessionID;
  if (t == "shell.open") {
    return IncomingShellFrame{Open{std::move(id), stringOr(root, "shell", "auto"),
                                   intOr(root, "cols", 80), intOr(root, "rows", 24)}};
  }
  if (t == "shell.stdin") {
    Bytes data;
    if (const std::string* d = root.stringAt("data")) {
      data = Base64::decode(*d).value_or(Bytes{});
    }
    return IncomingShellFrame{Stdin{std::move(id), std::move(data)}};
  }
  if (t == "shell.resize") {
    return IncomingShellFrame{
        Resize{std::move(id), intOr(root, "cols", 80), intOr(root, "rows", 24)}};
  }
  if (t == "shell.close") {
    return IncomingShellFrame{Close{std::move(id), stringOr(root, "reason", "teardown")}};
  }
  return std::nullopt;
}

const std::string& IncomingShellFrame::sessionID() const {
  return std::visit([](const auto& p) -> const std::string& { return p.sessionID; }, payload);
}

std::string OutgoingShellFrame::json() const {
  JSONValue frame = JSONValue::object();
  frame.set("v", 1);
  frame.set("session_id", sessionID());
  std::visit(
      [&frame](const auto& p) {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, Opened>) {
          frame.set("type", "shell.opened");
          frame.set("pid", p.pid);
          frame.set("shell", p.shell);
        } else if constexpr (std::is_same_v<T, Stdout>) {
          frame.set("type", "shell.stdout");
          frame.set("data", Base64::encode(p.data));
        } else if constexpr (std::is_same_v<T, Exit>) {
          frame.set("type", "shell.exit");
          frame.set("code", optionalNumber(p.code));
          frame.set("signal", optionalNumber(p.signal));
        } else {
          frame.set("type", "shell.error");
          frame.set("code", p.code);
          frame.set("message", p.message);
        }
      },
      payload);
  return CanonicalJSON::encode(frame);
}

const std::string& OutgoingShellFrame::sessionID() const {
  return std::visit([](const auto& p) -> const std::string& { return p.sessionID; }, payload);
}

}  // namespace vela
