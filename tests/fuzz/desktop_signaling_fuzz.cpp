// Feeds arbitrary bytes as the document inside a desktop frame's Base64 `data`: a
// signal (offer, answer, ICE candidate) and a session-open configuration. Beyond not
// crashing: whatever decodes survives the agent's own encoding (signals) or the
// gateway's (configurations) unchanged.

#include "fuzz_check.h"
#include "desktop/desktop_frames.h"
#include "util/base64.h"
#include "util/canonical_json.h"
#include "util/json_value.h"

namespace {

using vela::DesktopOpenConfig;
using vela::DesktopSignal;
using vela::JSONValue;
using vela::fuzz::check;

// The configuration written out in full, every default stated.
JSONValue wire(const DesktopOpenConfig& config) {
  JSONValue out{{"mode", config.mode},
                {"recording_required", config.recordingRequired},
                {"consent", config.consentRequired},
                {"indicator", config.indicatorText},
                {"mon", config.monitor}};
  if (!config.iceServers.empty()) {
    const vela::IceServer& server = config.iceServers.front();
    JSONValue ice{{"urls", JSONValue::Array(server.urls.begin(), server.urls.end())}};
    if (server.username) ice.set("username", *server.username);
    if (server.credential) ice.set("credential", *server.credential);
    out.set("ice", std::move(ice));
  }
  if (config.operatorName) out.set("operator", *config.operatorName);
  if (config.brandName) out.set("brand_name", *config.brandName);
  if (config.brandLogoBase64) out.set("brand_logo", *config.brandLogoBase64);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string base64 = vela::Base64::encode(std::span(data, size));

  if (auto signal = DesktopSignal::decode(base64)) {
    auto again = DesktopSignal::decode(signal->encodeBase64());
    check(again.has_value(), "an encoded signal does not decode");
    check(*again == *signal, "an encoded signal decodes differently");
    check(DesktopSignal::fromJSON(signal->json()) == signal, "a signal's document differs");
  }

  if (auto config = DesktopOpenConfig::decode(base64)) {
    check(config->iceServers.size() <= 1, "more ICE servers than the frame can carry");
    auto again = DesktopOpenConfig::decode(vela::Base64::encode(vela::CanonicalJSON::encode(wire(*config))));
    check(again.has_value(), "a written-out configuration does not decode");
    check(*again == *config, "a written-out configuration decodes differently");
  }
  return 0;
}
