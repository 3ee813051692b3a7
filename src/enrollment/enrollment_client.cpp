#include "enrollment/enrollment_client.h"

#include "net/endpoints.h"
#include "platform/host_facts.h"
#include "util/agent_version.h"
#include "util/canonical_json.h"
#include "util/json_document.h"

namespace vela {
namespace {

// A reply is read back at most this far into error texts, so a server that answers
// with a whole HTML page does not flood the log.
constexpr std::size_t kBodyExcerpt = 400;

vela::Result<std::string, std::string> stringMember(const JSONValue& obj, const char* key,
                                                    const char* where) {
  auto text = requiredString(obj, key);
  if (text) return std::move(*text);
  const bool present = text.error().kind == MemberError::Kind::wrongType;
  return tl::unexpected(std::string(where).append("key \"").append(key).append(
      present ? "\" is not a string" : "\" not found"));
}

}  // namespace

std::string firstCharacters(std::string_view text, std::size_t count) {
  std::size_t end = 0;
  for (std::size_t seen = 0; end < text.size() && seen < count; ++seen) {
    ++end;
    // Continuation bytes belong to the character just started.
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  }
  return std::string(text.substr(0, end));
}

std::string EnrollmentClient::Request::jsonData() const {
  JSONValue body{
      {"token", token},
      {"hostname", hostname},
      {"os", os},
      {"os_version", osVersion},
      {"arch", arch},
      {"agent_version", agentVersion},
      {"public_key", publicKey},
      {"csr", csr},
      {"capabilities",
       JSONValue{{"shell", capabilities.shell},
                 {"backup", capabilities.backup},
                 {"desktop", capabilities.desktop}}},
  };
  if (tenantID) body.set("tenant_id", *tenantID);
  if (customerID) body.set("customer_id", *customerID);
  return CanonicalJSON::encode(body);
}

vela::Result<EnrollmentClient::Result, std::string> EnrollmentClient::Result::decode(
    std::string_view text) {
  auto document = JSONDocument::read(text);
  if (!document) return tl::unexpected(document.error().description());
  const JSONValue& obj = *document;
  if (!obj.isObject()) return tl::unexpected(std::string("expected a JSON object"));

  Result r;
  r.agentID = VELA_TRY(stringMember(obj, "agent_id", ""));
  if (const JSONValue* token = obj["device_token"]; token != nullptr && !token->isNull()) {
    if (!token->isString())
      return tl::unexpected(std::string("key \"device_token\" is not a string"));
    r.deviceToken = token->stringValue();
  }
  const JSONValue* cert = obj["certificate"];
  if (cert == nullptr || cert->isNull())
    return tl::unexpected(std::string("key \"certificate\" not found"));
  if (!cert->isObject())
    return tl::unexpected(std::string("key \"certificate\" is not an object"));
  const char* where = "certificate: ";
  r.certificate.serial = VELA_TRY(stringMember(*cert, "serial", where));
  r.certificate.fingerprint = VELA_TRY(stringMember(*cert, "fingerprint", where));
  r.certificate.notAfter = VELA_TRY(stringMember(*cert, "not_after", where));
  r.certificate.pem = VELA_TRY(stringMember(*cert, "pem", where));
  return r;
}

std::string EnrollmentClient::describe(const Error& error) {
  return std::visit([](const auto& e) { return e.description(); }, error);
}

std::string EnrollmentClient::enrollURL() const { return Endpoints{baseURL_}.enroll(); }

vela::Result<EnrollmentClient::Result, EnrollmentClient::Error> EnrollmentClient::enroll(
    const std::string& token, const std::string& publicKeyPEM, const std::string& csrPEM,
    const std::optional<std::string>& tenantID, const std::optional<std::string>& customerID,
    const AgentCapabilities& capabilities) {
  Request request{
      .token = token,
      .hostname = HostFacts::hostname(),
      .os = HostFacts::kOSName,
      .osVersion = HostFacts::osVersion(),
      .arch = HostFacts::arch(),
      .agentVersion = std::string(AgentVersion::current),
      .publicKey = publicKeyPEM,
      .csr = csrPEM,
      .capabilities = capabilities,
      .tenantID = tenantID,
      .customerID = customerID,
  };
  return send(request);
}

vela::Result<EnrollmentClient::Result, EnrollmentClient::Error> EnrollmentClient::send(
    const Request& request) {
  auto response = http_.postJSON(enrollURL(), request.jsonData(), {}, BodyLimits::kEnroll);
  if (!response) return tl::unexpected(Error(response.error()));

  if (response->status == 200 || response->status == 201) {
    std::string text = response->bodyString();
    auto decoded = Result::decode(toString(response->body));
    if (!decoded) {
      return tl::unexpected(Error(EnrollError::decode(
          decoded.error() + " — body: " + firstCharacters(text, kBodyExcerpt))));
    }
    return std::move(*decoded);
  }
  if (response->status == 422) return tl::unexpected(Error(EnrollError::invalidToken()));
  return tl::unexpected(Error(EnrollError::server(
      response->status, firstCharacters(response->bodyString(), kBodyExcerpt))));
}

}  // namespace vela
