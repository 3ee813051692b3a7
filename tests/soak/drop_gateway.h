#pragma once

// A bare gateway for the drop soak: TLS and WebSocket server side on 127.0.0.1, driven
// step by step from the test thread, so that a test can cut the agent's connection
// exactly where it wants: inside the TLS handshake, before the upgrade answer, halfway
// through a frame of its own or while the agent is sending. A drop never closes TLS or
// the WebSocket properly. Built directly on OpenSSL.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace vela::testing {

class DropGatewayConnection {
 public:
  DropGatewayConnection(int fd, SSL_CTX* ctx);
  ~DropGatewayConnection();  // drops
  DropGatewayConnection(const DropGatewayConnection&) = delete;
  DropGatewayConnection& operator=(const DropGatewayConnection&) = delete;

  // Waits for the first bytes of the client's TLS hello, leaving them unanswered.
  bool awaitClientHello(std::chrono::milliseconds limit);
  // The TLS handshake and the client's upgrade request (returned, headers included).
  std::optional<std::string> readUpgradeRequest();
  // The 101 answer for `request`; with `bytes` only that much of it.
  bool answerUpgrade(const std::string& request, std::optional<std::size_t> bytes = std::nullopt);

  // A server text frame; with `bytes` only that many bytes of its encoding.
  bool sendText(std::string_view text, std::optional<std::size_t> bytes = std::nullopt);
  static std::size_t encodedSize(std::size_t textSize);
  bool sendClose(std::uint16_t code);
  // The client's next text message, pings answered on the way; nothing on a close,
  // an error or when `limit` passes.
  std::optional<std::string> receiveText(std::chrono::milliseconds limit);

  // With `reset` a TCP reset, else a bare TCP close (no TLS close_notify).
  void drop(bool reset = true);

 private:
  bool writeAll(std::string_view bytes);
  bool fill(std::size_t want, std::chrono::steady_clock::time_point deadline);

  int fd_;
  SSL* ssl_ = nullptr;
  std::string in_;  // decrypted bytes not yet consumed
};

class DropGateway {
 public:
  // Serves the certificate chain and key (PEM files) on 127.0.0.1:`port`; throws when it
  // cannot listen.
  DropGateway(const std::string& certificateFile, const std::string& keyFile, int port);
  ~DropGateway();
  DropGateway(const DropGateway&) = delete;
  DropGateway& operator=(const DropGateway&) = delete;

  // The next TCP connection, or nothing after `limit`.
  std::unique_ptr<DropGatewayConnection> accept(std::chrono::milliseconds limit);

 private:
  SSL_CTX* ctx_ = nullptr;
  int listenFd_ = -1;
};

}  // namespace vela::testing
