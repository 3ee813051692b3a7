#pragma once

// The enrolment exchange alone: one POST of the request to the control plane and the
// decoding of its reply. Keys, certificates and configuration are EnrollmentService's
// business. Uses the caller's HTTPClient, so it inherits that client's threading rule.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "enrollment/enroll_error.h"
#include "net/http_client.h"

namespace vela {

// What this agent can serve; sent as {"shell","backup","desktop"}.
struct AgentCapabilities {
  bool shell = true;
  bool backup = false;
  bool desktop = true;

  bool operator==(const AgentCapabilities&) const = default;
};

class EnrollmentClient {
 public:
  // The request body; encoded with snake_case keys, tenant and customer left out when
  // absent.
  struct Request {
    std::string token;
    std::string hostname;
    std::string os;
    std::string osVersion;
    std::string arch;
    std::string agentVersion;
    std::string publicKey;  // SPKI, "PUBLIC KEY" PEM
    std::string csr;        // "CERTIFICATE REQUEST" PEM
    AgentCapabilities capabilities;
    std::optional<std::string> tenantID;
    std::optional<std::string> customerID;

    std::string jsonData() const;
  };

  struct Certificate {
    std::string serial;
    std::string fingerprint;
    std::string notAfter;
    std::string pem;
  };

  // The reply body; unknown keys are ignored.
  struct Result {
    std::string agentID;
    std::optional<std::string> deviceToken;
    Certificate certificate;

    // Fails with a description of the first problem found.
    static vela::Result<Result, std::string> decode(std::string_view json);
  };

  using EnrollError = vela::EnrollError;
  // A refusal by the control plane, or no usable HTTP exchange at all.
  using Error = std::variant<EnrollError, HTTPError>;
  static std::string describe(const Error& error);

  // `baseURL` is the normalised https server base URL.
  EnrollmentClient(HTTPClient& http, std::string baseURL)
      : http_(http), baseURL_(std::move(baseURL)) {}

  // Host name, OS version and architecture come from this machine.
  vela::Result<Result, Error> enroll(const std::string& token, const std::string& publicKeyPEM,
                                     const std::string& csrPEM,
                                     const std::optional<std::string>& tenantID,
                                     const std::optional<std::string>& customerID,
                                     const AgentCapabilities& capabilities = {});

  // Steps after the request is built: POST it and interpret the status and body.
  vela::Result<Result, Error> send(const Request& request);

  std::string enrollURL() const;

 private:
  HTTPClient& http_;
  const std::string baseURL_;
};

// The first `count` characters (code points) of UTF-8 text.
std::string firstCharacters(std::string_view text, std::size_t count);

}  // namespace vela
