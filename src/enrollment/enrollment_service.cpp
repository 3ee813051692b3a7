#include "enrollment/enrollment_service.h"

#include <algorithm>
#include <cctype>

#include "enrollment/enrollment_client.h"
#include "identity/cert_store.h"
#include "identity/csr_builder.h"
#include "identity/device_key.h"
#include "identity/pem.h"
#include "net/http_client.h"
#include "platform/host_facts.h"
#include "util/log.h"
#include "util/server_value.h"

namespace vela {
namespace {

constexpr double kEnrollTimeoutSeconds = 30;

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(
      a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

std::string scope(const AgentConfig& config) {
  return "tenant=" + config.tenantID.value_or("-") +
         ", customer=" + config.customerID.value_or("-");
}

Result<DeviceKey> deviceKey() {
  auto loaded = DeviceKey::load();
  if (loaded) return loaded;
  Log::debug([&] { return "no usable device key (" + loaded.error().message + "); creating one"; });
  return DeviceKey::create();
}

// The agent id and the device token go into headers, URL paths and log lines from now
// on; a reply that does not fit them is refused before anything is stored.
Result<void> checkIdentifiers(const EnrollmentClient::Result& reply) {
  if (!ServerValue::isPrintableWord(reply.agentID, ServerValue::kMaxIdentifierLength)) {
    return fail("enroll response refused: agent_id must be 1 to " +
                std::to_string(ServerValue::kMaxIdentifierLength) +
                " printable ASCII characters without white space");
  }
  if (reply.deviceToken &&
      !ServerValue::isPrintableWord(*reply.deviceToken, ServerValue::kMaxTokenLength)) {
    return fail("enroll response refused: device_token must be 1 to " +
                std::to_string(ServerValue::kMaxTokenLength) +
                " printable ASCII characters without white space");
  }
  return {};
}

// A refused token must not be presented again on the next start.
AgentError forgetRefusedToken(const AgentConfig& config) {
  AgentConfig cleared = config;
  cleared.enrollmentToken.reset();
  (void)cleared.save();
  return AgentError(
      "Invalid or expired enrollment token. Obtain a fresh token and run setup again.");
}

}  // namespace

Result<AgentConfig> EnrollmentService::enroll(const AgentConfig& config) const {
  if (config.agentID) {
    Log::info("Already enrolled as " + *config.agentID + "; skipping.");
    return config;
  }
  std::optional<std::string> base = config.baseURL();
  if (!base) return fail("invalid server URL: '" + config.serverBaseURL + "'");
  if (!config.enrollmentToken || config.enrollmentToken->empty()) {
    return fail("no enrollment token available. Run `vela-agent setup`.");
  }

  DeviceKey key = VELA_TRY(deviceKey());
  Log::info("Device key ready (" + std::string(DeviceKey::rawValue(key.backing())) + ")");

  std::string hostname = HostFacts::hostname();
  Bytes csr = VELA_TRY(CSRBuilder::makeCSRDER(hostname, key));
  std::string csrPEM = PEM::encode(csr, "CERTIFICATE REQUEST");
  std::string publicKeyPEM = PEM::encode(VELA_TRY(key.publicKeySPKI()), "PUBLIC KEY");

  // The token in the body is the only credential: no client identity yet.
  HTTPClient http(trust_, std::nullopt, kEnrollTimeoutSeconds);
  EnrollmentClient client(http, *base);
  Log::info("Enrolling at " + client.enrollURL() + " (" + scope(config) + ")");

  auto reply = client.enroll(*config.enrollmentToken, publicKeyPEM, csrPEM, config.tenantID,
                             config.customerID);
  if (!reply) {
    const auto* refused = std::get_if<EnrollError>(&reply.error());
    if (refused && refused->kind() == EnrollError::Kind::invalidToken) {
      return tl::unexpected(forgetRefusedToken(config));
    }
    return fail(EnrollmentClient::describe(reply.error()));
  }

  VELA_TRY_VOID(checkIdentifiers(*reply));
  Certificate issued =
      VELA_TRY(CertStore::store(reply->certificate.pem, VELA_TRY(key.publicKeySPKI())));
  std::string local = CertStore::fingerprint(issued);
  if (!equalIgnoringCase(local, reply->certificate.fingerprint)) {
    Log::warn("server fingerprint " + reply->certificate.fingerprint + " ≠ local " + local);
  }

  AgentConfig enrolled = config;
  enrolled.agentID = reply->agentID;
  enrolled.deviceToken = reply->deviceToken;
  enrolled.certFingerprint = reply->certificate.fingerprint;
  enrolled.certNotAfter = reply->certificate.notAfter;
  enrolled.enrollmentToken.reset();
  VELA_TRY_VOID(enrolled.save());

  if (!reply->deviceToken) {
    Log::warn("enroll response had no device_token; telemetry/command auth will fail");
  }
  Log::info("Enrolled as agent " + reply->agentID + " (" + scope(config) + "); cert expires " +
            reply->certificate.notAfter);
  return enrolled;
}

}  // namespace vela
