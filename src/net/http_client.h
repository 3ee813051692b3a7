#pragma once

// The agent's one synchronous HTTPS client. It refuses plain HTTP before anything is
// sent, authenticates servers through PinnedTLS (the control plane) or against the
// operating system's trust store (quick assist), presents the client identity when it
// has one and the server asks, stamps every request with the agent's User-Agent, and
// returns any HTTP status as a Response for the caller to interpret.
// No cookies, no cache, no redirects followed (a 3xx is a Response like any other).
// Connections go through the environment's proxy when ProxyRule says so, as a CONNECT
// tunnel; a malformed proxy variable fails the request instead of going direct.
//
// Every reply body is capped (BodyLimits): beyond the request's limit, counted after
// content decoding, the transfer is aborted with a transport error. A body can instead
// be streamed to a sink, which sees only the body of a 2xx reply.
//
// One connection is kept alive between requests. Requests on one client are
// serialised by its own lock, so it may be shared, but callers normally use it from a
// single thread; each call blocks until the exchange completes or fails.

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "net/body_limits.h"
#include "net/pinned_tls.h"
#include "net/proxy_rule.h"
#include "net/pinned_trust.h"
#include "net/server_trust.h"
#include "net/tls_objects.h"
#include "util/agent_error.h"
#include "util/bytes.h"
#include "util/mutex.h"

typedef void CURL;
typedef struct Curl_URL CURLU;

namespace vela {

class HTTPError {
 public:
  enum class Kind { transport, noResponse };

  static HTTPError transport(std::string message) { return HTTPError(Kind::transport, std::move(message)); }
  static HTTPError noResponse() { return HTTPError(Kind::noResponse, {}); }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // "transport error: <message>" or "no HTTP response".
  std::string description() const;
  AgentError toAgentError() const { return AgentError(description()); }
  bool operator==(const HTTPError&) const = default;

 private:
  HTTPError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind_;
  std::string message_;
};

class HTTPClient {
 public:
  using HTTPError = vela::HTTPError;
  using Headers = std::map<std::string, std::string>;

  struct Response {
    int status = 0;
    Bytes body;
    // As received; a name sent more than once has its values joined with ", ".
    Headers headers;

    // The body when it is valid UTF-8, else the empty text.
    std::string bodyString() const;
    // Header lookup ignoring the case of the name.
    std::optional<std::string> header(std::string_view name) const;
  };

  // Receives a 2xx body chunk by chunk; false aborts the transfer (the caller keeps
  // its own reason). Called on the requesting thread.
  using BodySink = std::function<bool(std::span<const std::uint8_t>)>;

  struct Request {
    std::string method = "GET";
    std::string url;
    Headers headers;
    Bytes body;
    // Largest reply body held in Response::body, after content decoding.
    std::size_t maxBodyBytes = BodyLimits::kDefault;
    // Ask for and undo gzip or deflate; off where the bytes themselves matter.
    bool decodeContent = true;
    // When set, a 2xx body goes here instead of Response::body, unbounded by
    // maxBodyBytes: the sink stops what it does not want.
    BodySink bodySink;
    // When set, the request's body is this file, read as it is sent (an upload) and
    // sent only once the server has agreed to take it (Expect: 100-continue).
    std::string bodyFile;

    // Sets a header, replacing any earlier one whose name differs only in case.
    void setHeader(std::string_view name, std::string value);
  };

  // `timeout` (seconds) bounds connecting, every stall and each whole exchange.
  explicit HTTPClient(PinnedTrust trust, std::optional<ClientIdentity> clientIdentity = std::nullopt,
                      double timeout = 30);
  // Servers are checked against the operating system's trust store; no client identity.
  HTTPClient(SystemTrustStore, double timeout);
  ~HTTPClient();
  HTTPClient(const HTTPClient&) = delete;
  HTTPClient& operator=(const HTTPClient&) = delete;

  Result<Response, HTTPError> get(const std::string& url, const Headers& headers = {},
                                  std::size_t maxBodyBytes = BodyLimits::kDefault);
  // Sends `body` with Content-Type and Accept set to application/json.
  Result<Response, HTTPError> postJSON(const std::string& url, std::span<const std::uint8_t> body,
                                       const Headers& headers = {},
                                       std::size_t maxBodyBytes = BodyLimits::kDefault);
  Result<Response, HTTPError> postJSON(const std::string& url, std::string_view body,
                                       const Headers& headers = {},
                                       std::size_t maxBodyBytes = BodyLimits::kDefault);
  Result<Response, HTTPError> send(const Request& request);

  // The requests get() and postJSON() send: the User-Agent first, then the caller's
  // headers (and, for POST, the JSON content headers).
  static Request makeGET(const std::string& url, const Headers& headers);
  static Request makePOST(const std::string& url, std::span<const std::uint8_t> body,
                          const Headers& headers);

  double timeout() const { return timeout_; }

 private:
  // `url` is the request's URL as libcurl parsed it (null when it could not), `host`
  // the name in it that the server check holds the certificate to.
  Result<Response, HTTPError> perform(const Request& request, CURLU* url, const std::string& host,
                                      const std::optional<Proxy>& proxy) REQUIRES(mutex_);

  std::optional<PinnedTLS> pinned_;  // absent: the system trust store
  const double timeout_;

  Mutex mutex_;
  CURL* curl_ GUARDED_BY(mutex_) = nullptr;  // created on first use, then reused
};

}  // namespace vela
