#include "support/tls_test_server.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <sstream>
#include <stdexcept>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "util/text_fields.h"

namespace vela::testing {
namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Moves into `out` what `buffer` holds before `marker` (the marker is dropped), or with
// an empty marker its first `count` bytes, reading from `ssl` until there is enough;
// false when the connection ends first.
bool take(SSL* ssl, std::string& buffer, std::string_view marker, std::size_t count,
          std::string& out) {
  for (;;) {
    std::size_t at =
        marker.empty() ? (buffer.size() >= count ? count : std::string::npos) : buffer.find(marker);
    if (at != std::string::npos) {
      out = buffer.substr(0, at);
      buffer.erase(0, at + marker.size());
      return true;
    }
    char chunk[16384];
    int n = SSL_read(ssl, chunk, sizeof(chunk));
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace

std::string RecordedRequest::header(const std::string& lowerCaseName) const {
  auto it = headers.find(lowerCaseName);
  return it == headers.end() ? std::string() : it->second;
}

TLSTestServer::TLSTestServer(const TestCertificate& identity, ClientCertificates clientCertificates) {
  // OpenSSL writes with plain write(); a client that hangs up must not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_ || SSL_CTX_use_certificate(ctx_, identity.certificate.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx_, identity.key.get()) != 1) {
    throw std::runtime_error("test server: bad TLS identity");
  }
  if (clientCertificates == ClientCertificates::request) {
    // Whether the certificate is trusted is not this server's concern; tests look at
    // what was presented.
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
  }

  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listenFd_, 16) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("test server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

std::string TLSTestServer::url(const std::string& path) const {
  return urlWithHost("127.0.0.1", path);
}

std::string TLSTestServer::urlWithHost(const std::string& host, const std::string& path) const {
  return "https://" + host + ":" + std::to_string(port_) + path;
}

void TLSTestServer::setResponse(CannedResponse response) {
  std::lock_guard lock(mutex_);
  response_ = std::move(response);
}

std::vector<RecordedRequest> TLSTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

TLSTestServer::~TLSTestServer() {
  stopping_ = true;
  // Wakes the blocked accept() and every blocked read.
  shutdown(listenFd_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  close(listenFd_);
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (int fd : connectionFds_) shutdown(fd, SHUT_RDWR);
    threads.swap(connectionThreads_);
  }
  for (auto& thread : threads) thread.join();
  SSL_CTX_free(ctx_);
}

void TLSTestServer::acceptLoop() {
  while (!stopping_.load()) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int index = ++accepted_;
    std::lock_guard lock(mutex_);
    if (stopping_.load()) {
      close(fd);
      return;
    }
    connectionFds_.push_back(fd);
    connectionThreads_.emplace_back([this, fd, index] { serveConnection(fd, index); });
  }
}

CannedResponse TLSTestServer::respond(const RecordedRequest& request) {
  std::lock_guard lock(mutex_);
  requests_.push_back(request);
  return response_;
}

void TLSTestServer::serveConnection(int fd, int index) {
  SSL* ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) == 1) {
    std::optional<std::string> clientSubject;
    if (X509* peer = SSL_get1_peer_certificate(ssl)) {
      char subject[256] = {};
      X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof(subject));
      clientSubject = subject;
      X509_free(peer);
    }
    std::string buffer, head;
    while (take(ssl, buffer, "\r\n\r\n", 0, head)) {
      RecordedRequest request;
      request.connection = index;
      request.clientCertificateSubject = clientSubject;
      std::size_t lineEnd = head.find("\r\n");
      std::istringstream(head.substr(0, lineEnd)) >> request.method >> request.target;
      if (lineEnd != std::string::npos) {
        for (const auto& [name, value] : TextFields::colonFields(head.substr(lineEnd + 2))) {
          request.headers[lowerCase(name)] = value;
        }
      }
      if (auto length = request.header("content-length"); !length.empty()) {
        if (!take(ssl, buffer, "", std::stoul(length), request.body)) break;
      }
      CannedResponse response = respond(request);
      if (response.hangUp) break;
      // Clients read the code only; the reason phrase is free text.
      std::string out = "HTTP/1.1 " + std::to_string(response.status) + " Canned\r\n";
      bool hasLength = false;
      for (const auto& [name, value] : response.headers) {
        out += name + ": " + value + "\r\n";
        hasLength = hasLength || lowerCase(name) == "content-length";
      }
      if (!hasLength && response.status != 204 && response.status >= 200) {
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
      }
      out += "\r\n" + response.body;
      if (SSL_write(ssl, out.data(), static_cast<int>(out.size())) <= 0) break;
      if (lowerCase(request.header("connection")) == "close") break;
    }
    SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  ERR_clear_error();
  {
    std::lock_guard lock(mutex_);
    std::erase(connectionFds_, fd);
  }
  close(fd);
}

}  // namespace vela::testing
