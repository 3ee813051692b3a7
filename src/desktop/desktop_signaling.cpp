#include "desktop/desktop_signaling.h"

#include <limits>

#include "util/base64.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"

namespace vela {

std::optional<SessionDescription::Kind> SessionDescription::kindFromString(std::string_view text) {
  if (text == "offer") return Kind::offer;
  if (text == "answer") return Kind::answer;
  if (text == "pranswer") return Kind::pranswer;
  if (text == "rollback") return Kind::rollback;
  return std::nullopt;
}

std::string_view SessionDescription::kindString(Kind kind) {
  switch (kind) {
    case Kind::offer: return "offer";
    case Kind::answer: return "answer";
    case Kind::pranswer: return "pranswer";
    case Kind::rollback: return "rollback";
  }
  return "offer";
}

std::optional<DesktopSignal> DesktopSignal::decode(std::string_view base64) {
  auto bytes = Base64::decode(base64);
  if (!bytes) return std::nullopt;
  auto document = JSONScanner::parse(std::span<const std::uint8_t>(*bytes));
  if (!document) return std::nullopt;
  return fromJSON(*document);
}

std::optional<DesktopSignal> DesktopSignal::fromJSON(const JSONValue& document) {
  const JSONValue* kind = document["kind"];
  if (!kind || !kind->isString()) return std::nullopt;
  const std::string& k = *kind->stringRef();
  if (k == "offer" || k == "answer") {
    const JSONValue* sdp = document["sdp"];
    if (!sdp || !sdp->isString()) return std::nullopt;
    if (k == "offer") return DesktopSignal{Offer{*sdp->stringRef()}};
    return DesktopSignal{Answer{*sdp->stringRef()}};
  }
  if (k == "ice") {
    const JSONValue* c = document["candidate"];
    if (!c || !c->isObject()) return std::nullopt;
    const std::string* text = c->stringAt("candidate");
    if (!text) return std::nullopt;
    IceCandidate candidate;
    candidate.candidate = *text;
    if (const std::string* mid = c->stringAt("sdpMid")) candidate.sdpMid = *mid;
    if (const JSONValue* index = (*c)["sdpMLineIndex"]) {
      // Values outside 32 bits are treated like a missing index.
      auto v = index->intValue();
      if (v && *v >= std::numeric_limits<std::int32_t>::min() &&
          *v <= std::numeric_limits<std::int32_t>::max()) {
        candidate.sdpMLineIndex = static_cast<std::int32_t>(*v);
      }
    }
    return DesktopSignal{candidate};
  }
  return std::nullopt;
}

JSONValue DesktopSignal::json() const {
  JSONValue document = JSONValue::object();
  if (const auto* offer = std::get_if<Offer>(&payload)) {
    document.set("kind", "offer");
    document.set("sdp", offer->sdp);
  } else if (const auto* answer = std::get_if<Answer>(&payload)) {
    document.set("kind", "answer");
    document.set("sdp", answer->sdp);
  } else {
    const auto& ice = std::get<IceCandidate>(payload);
    JSONValue candidate = JSONValue::object();
    candidate.set("candidate", ice.candidate);
    candidate.set("sdpMLineIndex", ice.sdpMLineIndex);
    candidate.set("sdpMid", ice.sdpMid ? JSONValue(*ice.sdpMid) : JSONValue(nullptr));
    document.set("candidate", std::move(candidate));
    document.set("kind", "ice");
  }
  return document;
}

std::string DesktopSignal::encodeBase64() const { return Base64::encode(CanonicalJSON::encode(json())); }

DesktopSignal DesktopSignal::fromDescription(const SessionDescription& description) {
  if (description.kind == SessionDescription::Kind::answer) {
    return DesktopSignal{Answer{description.sdp}};
  }
  return DesktopSignal{Offer{description.sdp}};
}

std::optional<SessionDescription> DesktopSignal::description() const {
  if (const auto* offer = std::get_if<Offer>(&payload)) {
    return SessionDescription{SessionDescription::Kind::offer, offer->sdp};
  }
  if (const auto* answer = std::get_if<Answer>(&payload)) {
    return SessionDescription{SessionDescription::Kind::answer, answer->sdp};
  }
  return std::nullopt;
}

}  // namespace vela
