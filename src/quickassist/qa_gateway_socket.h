#pragma once

// The quick-assist client's WebSocket to its session gateway: TLS with the operating
// system's trust store (OpenSSL's default paths) and the host name checked, then text
// messages both ways. Binary messages are handed on as text. Everything runs on one
// thread of its own ("vela.qa.ws"); send and cancel may be called from any thread.
// `message` and `failed` are called on that thread; nothing is reported after cancel.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "util/agent_error.h"
#include "util/url.h"

namespace vela {

class QAGatewaySocket {
 public:
  static constexpr std::size_t kMaxMessageBytes = 4 * 1024 * 1024;

  struct Events {
    std::function<void(std::string text)> message;
    // Connection, TLS or upgrade failure, or the connection ending; once.
    std::function<void(std::string error)> failed;
  };

  // REQUIRES: `url` has scheme "wss" or "https".
  static std::shared_ptr<QAGatewaySocket> create(URL url, Events events);
  ~QAGatewaySocket();
  QAGatewaySocket(const QAGatewaySocket&) = delete;
  QAGatewaySocket& operator=(const QAGatewaySocket&) = delete;

  void start();
  // Queued until the upgrade is done; dropped once the connection has ended.
  void send(std::string text);
  // Sends a close frame with `code` (when connected) and ends the connection.
  void cancel(std::uint16_t code);
  // Waits for the socket's thread to end. REQUIRES: not on that thread; after cancel.
  void join();

  struct Impl;

 private:
  explicit QAGatewaySocket(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<Impl> impl_;
};

}  // namespace vela
