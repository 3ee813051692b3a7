#pragma once

// A real HTTP/1.1 server over TLS on 127.0.0.1 (ephemeral port), serving canned
// responses from a background thread and one thread per connection. It records every
// request and counts connections, so tests can see what reached the wire and whether
// a connection was reused. Built directly on OpenSSL.

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_pki.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace vela::testing {

struct RecordedRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
  int connection = 0;  // 1 for the first accepted connection, and so on
  // Subject of the certificate the client presented, if it presented one.
  std::optional<std::string> clientCertificateSubject;

  std::string header(const std::string& lowerCaseName) const;
};

struct CannedResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool hangUp = false;  // closes the connection instead of answering
};

enum class ClientCertificates {
  none,     // never asks
  request,  // asks; a client without one may continue
};

class TLSTestServer {
 public:
  // Serves `identity` (certificate and key); throws when it cannot listen.
  explicit TLSTestServer(const TestCertificate& identity,
                         ClientCertificates clientCertificates = ClientCertificates::none);
  ~TLSTestServer();

  int port() const { return port_; }
  // "https://127.0.0.1:<port>" + path.
  std::string url(const std::string& path = "/") const;
  // Same port under another name (the name must resolve to 127.0.0.1, e.g. localhost).
  std::string urlWithHost(const std::string& host, const std::string& path = "/") const;

  // The answer to every request from now on (default: 200 with body "ok").
  void setResponse(CannedResponse response);

  std::vector<RecordedRequest> requests() const;
  int acceptedConnections() const { return accepted_.load(); }

 private:
  void acceptLoop();
  void serveConnection(int fd, int index);
  CannedResponse respond(const RecordedRequest& request);

  SSL_CTX* ctx_ = nullptr;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;       // guarded by mutex_
  CannedResponse response_{200, {}, "ok"};      // guarded by mutex_
  std::vector<int> connectionFds_;              // guarded by mutex_
  std::vector<std::thread> connectionThreads_;  // guarded by mutex_
};

}  // namespace vela::testing
