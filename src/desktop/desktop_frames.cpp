#include "desktop/desktop_frames.h"

#include <algorithm>

#include "desktop/session_frame.h"
#include "util/base64.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"

namespace vela {

namespace {

std::optional<std::string> optionalString(const JSONValue& object, std::string_view key) {
  if (const std::string* s = object.stringAt(key)) return *s;
  return std::nullopt;
}

std::vector<IceServer> parseIceServers(const JSONValue* ice) {
  if (!ice || !ice->isObject()) return {};
  IceServer server;
  if (const JSONValue* urls = (*ice)["urls"]) {
    if (urls->isString()) {
      server.urls.push_back(*urls->stringRef());
    } else if (const auto* list = urls->arrayValue()) {
      for (const auto& u : *list) {
        if (u.isString()) server.urls.push_back(*u.stringRef());
      }
    }
  }
  if (server.urls.empty()) return {};
  server.username = optionalString(*ice, "username");
  server.credential = optionalString(*ice, "credential");
  return {server};
}

// A double as the shortest text that reads back the same, always with a fraction or
// exponent so that whole seconds read as 3.0 rather than 3.
JSONValue decimal(double d) {
  JSONValue v(d);
  if (const std::string* text = v.numberText()) {
    if (text->find_first_of(".eEn") == std::string::npos) return JSONValue::number(*text + ".0");
  }
  return v;
}

JSONValue frame(std::string_view type, const std::string& sessionID) {
  JSONValue f = JSONValue::object();
  f.set("type", std::string(type));
  f.set("session_id", sessionID);
  return f;
}

std::string withData(JSONValue f, const JSONValue& inner) {
  f.set("data", Base64::encode(CanonicalJSON::encode(inner)));
  return CanonicalJSON::encode(f);
}

}  // namespace

std::optional<DesktopOpenConfig> DesktopOpenConfig::decode(std::string_view base64) {
  auto bytes = Base64::decode(base64);
  if (!bytes) return std::nullopt;
  auto parsed = JSONScanner::parse(std::span<const std::uint8_t>(*bytes));
  if (!parsed || !parsed->isObject()) return std::nullopt;
  const JSONValue& doc = *parsed;
  DesktopOpenConfig config;
  config.iceServers = parseIceServers(doc["ice"]);
  config.mode = optionalString(doc, "mode").value_or("attended");
  const JSONValue* recording = doc["recording_required"];
  config.recordingRequired = recording ? recording->boolValue().value_or(true) : true;
  const JSONValue* consent = doc["consent"];
  auto consentValue = consent ? consent->boolValue() : std::nullopt;
  config.consentRequired = consentValue.value_or(config.mode == "attended");
  config.indicatorText = optionalString(doc, "indicator").value_or(std::string(kDefaultIndicatorText));
  const JSONValue* mon = doc["mon"];
  config.monitor = mon ? mon->intValue().value_or(0) : 0;
  config.operatorName = optionalString(doc, "operator");
  config.brandName = optionalString(doc, "brand_name");
  config.brandLogoBase64 = optionalString(doc, "brand_logo");
  return config;
}

std::optional<IncomingDesktopFrame> IncomingDesktopFrame::parse(std::string_view text) {
  auto frame = SessionFrame::parse(text);
  if (!frame) return std::nullopt;
  return from(*frame);
}

std::optional<IncomingDesktopFrame> IncomingDesktopFrame::from(const SessionFrame& frame) {
  const std::string& t = frame.type;
  std::string id = frame.sessionID;
  const std::string* data = frame.root.stringAt("data");
  if (t == "desktop.open") {
    std::optional<DesktopOpenConfig> config;
    if (data) config = DesktopOpenConfig::decode(*data);
    DesktopOpenConfig open = config.value_or(DesktopOpenConfig::fallback());
    if (const JSONValue* clipboard = frame.root["clipboard"]) open.clipboardAllowed = clipboard->boolValue().value_or(true);
    return IncomingDesktopFrame{Open{std::move(id), std::move(open)}};
  }
  if (t == "desktop.signal") {
    if (!data) return std::nullopt;
    auto signal = DesktopSignal::decode(*data);
    if (!signal) return std::nullopt;
    return IncomingDesktopFrame{Signal{std::move(id), std::move(*signal)}};
  }
  if (t == "desktop.close") {
    return IncomingDesktopFrame{
        Close{std::move(id), optionalString(frame.root, "reason").value_or("teardown")}};
  }
  return std::nullopt;
}

const std::string& IncomingDesktopFrame::sessionID() const {
  return std::visit([](const auto& p) -> const std::string& { return p.sessionID; }, payload);
}

std::string OutgoingDesktopFrame::json() const {
  return std::visit(
      [](const auto& p) -> std::string {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, Opened>) {
          JSONValue monitors = JSONValue::array();
          for (auto m : p.monitors) monitors.append(m);
          JSONValue inner = JSONValue::object();
          inner.set("consent", "accepted");
          if (p.indicatorAck) {
            JSONValue ack = JSONValue::object();
            ack.set("shown_at", p.indicatorAck->shownAt);
            ack.set("text_version", p.indicatorAck->textVersion);
            inner.set("indicator_ack", std::move(ack));
          }
          inner.set("monitors", std::move(monitors));
          inner.set("recording_ready", true);
          if (p.videoSize) {
            JSONValue size = JSONValue::object();
            size.set("height", p.videoSize->height);
            size.set("width", p.videoSize->width);
            inner.set("video_size", std::move(size));
          }
          return withData(frame("desktop.opened", p.sessionID), inner);
        } else if constexpr (std::is_same_v<T, Signal>) {
          return withData(frame("desktop.signal", p.sessionID), p.signal.json());
        } else if constexpr (std::is_same_v<T, ConsentDeclined>) {
          return withData(frame("desktop.consent", p.sessionID), JSONValue{{"status", "declined"}});
        } else if constexpr (std::is_same_v<T, RecordingBeat>) {
          return withData(frame("desktop.recording", p.sessionID),
                          JSONValue{{"state", "beat"}, {"seq", p.seq}, {"bytes", p.bytes}});
        } else if constexpr (std::is_same_v<T, RecordingFinal>) {
          JSONValue inner{{"state", "final"},        {"sha256", p.sha256},
                          {"bytes", p.bytes},        {"duration_s", decimal(p.duration)},
                          {"storage", p.storage},    {"format", p.format}};
          return withData(frame("desktop.recording", p.sessionID), inner);
        } else if constexpr (std::is_same_v<T, Error>) {
          JSONValue f = frame("desktop.error", p.sessionID);
          f.set("message", p.message);
          return CanonicalJSON::encode(f);
        } else {
          JSONValue f = frame("desktop.closed", p.sessionID);
          f.set("reason", p.reason);
          return CanonicalJSON::encode(f);
        }
      },
      payload);
}

Result<SessionFrame> OutgoingDesktopFrame::parseShape(std::string_view text) {
  using Shape = std::pair<std::string_view, std::string_view>;  // type, its string member
  static constexpr Shape kShapes[] = {
      {"desktop.opened", "data"},    {"desktop.signal", "data"},    {"desktop.consent", "data"},
      {"desktop.recording", "data"}, {"desktop.error", "message"}, {"desktop.closed", "reason"},
  };
  // The reasons name only our own types: the text is the writer's, and may be anything.
  auto frame = SessionFrame::parse(text);
  if (!frame) return fail("not a desktop frame");
  auto shape = std::ranges::find(kShapes, frame->type, &Shape::first);
  if (shape == std::end(kShapes)) return fail("not a desktop frame");
  // Keys are unique once parsed, so three members are exactly the three expected.
  if (!frame->root.stringAt(shape->second) || frame->root.objectValue()->size() != 3) {
    return fail("malformed " + frame->type);
  }
  return std::move(*frame);
}

}  // namespace vela
