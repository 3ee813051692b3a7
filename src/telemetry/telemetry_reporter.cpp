#include "telemetry/telemetry_reporter.h"

#include "util/canonical_json.h"
#include "util/iso_time.h"
#include "util/json_double.h"
#include "util/log.h"

namespace vela {
namespace {

constexpr std::size_t kRejectionTextLimit = 200;

// The first `limit` characters (code points) of valid UTF-8 text.
std::string prefixCharacters(const std::string& text, std::size_t limit) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (count++ == limit) return text.substr(0, i);
  }
  return text;
}

}  // namespace

Result<std::string> TelemetryReporter::Body::encode() const {
  JSONValue::Object values;
  for (const auto& [name, value] : metrics) values.emplace(name, JSONDouble::value(value));
  JSONValue j{{"metrics", std::move(values)}, {"recorded_at", recorded_at}};
  if (hardware) j.set("hardware", hardware->toJSON());
  // Firmware and tool texts may hold stray bytes; the encoder replaces them, so they
  // never block a heartbeat.
  return CanonicalJSON::encode(j);
}

TelemetryReporter::TelemetryReporter(HTTPClient& http, Endpoints endpoints, AgentConfig config,
                                     std::string deviceToken)
    : http_(http),
      endpoints_(std::move(endpoints)),
      config_(std::move(config)),
      deviceToken_(std::move(deviceToken)) {}

HTTPClient::Headers TelemetryReporter::bearer() const {
  return {{"Authorization", "Bearer " + deviceToken_}};
}

TelemetryReporter::Body TelemetryReporter::makeBody(const std::vector<MetricSample>& samples,
                                                    Clock::time_point now,
                                                    std::optional<HardwareSnapshot> hardware) {
  Body body;
  for (const auto& s : samples) body.metrics.insert_or_assign(s.metric, s.value);
  body.recorded_at = ISOTime::format(now);
  body.hardware = std::move(hardware);
  return body;
}

bool TelemetryReporter::hardwareDue(Clock::time_point now) const {
  if (!lastHardwareSent_) return true;
  return std::chrono::duration<double>(now - *lastHardwareSent_).count() >= hardwareInterval_;
}

Result<void> TelemetryReporter::sendHeartbeat(
    const std::optional<std::vector<MetricSample>>& samples, Clock::time_point now) {
  std::vector<MetricSample> measured;
  if (samples) {
    measured = *samples;
  } else {
    measured = Metrics::sample(now);
    auto cores = coreSampler_.sample(now);
    measured.insert(measured.end(), cores.begin(), cores.end());
  }
  const bool withHardware = hardwareDue(now);
  Body body = makeBody(measured, now,
                       withHardware ? std::optional(HardwareSnapshot::collect()) : std::nullopt);
  std::string encoded = VELA_TRY(body.encode());

  auto response =
      http_.postJSON(endpoints_.telemetry(), encoded, bearer(), BodyLimits::kAcknowledgement);
  if (!response) return tl::unexpected(response.error().toAgentError());
  if (response->status < 200 || response->status > 299) {
    Log::warn("heartbeat rejected (HTTP " + std::to_string(response->status) +
              "): " + prefixCharacters(response->bodyString(), kRejectionTextLimit));
    return {};
  }
  if (withHardware) lastHardwareSent_ = now;
  Log::debug([&] {
    return "heartbeat ok (" + std::to_string(body.metrics.size()) + " metrics" +
           (withHardware ? " + hardware" : "") + ")";
  });
  return {};
}

}  // namespace vela
