#pragma once

// One WebSocket connection to the gateway over TLS 1.3: resolve and connect (or, when
// the environment's proxy applies, a CONNECT tunnel opened off the I/O thread), handshake
// with the pinned CA certificates as the only anchors and the host name checked, the
// HTTP upgrade with custom headers, then a receive loop and an ordered write queue for
// text messages, pings and the closing handshake; pings and the close frame go ahead of
// queued text, so a backlog of output never delays the watchdog. All socket work runs on the thread
// of a GatewayIO ("vela.gateway.io"); send, ping and cancel may be called from any
// thread. The events are called on that I/O thread; once `ended` has been reported no
// further event arrives except pong results.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/tls_objects.h"

namespace vela {

// The I/O thread and its event loop. Destroying it stops the loop; safe from any
// thread, including its own.
class GatewayIO {
 public:
  GatewayIO();
  ~GatewayIO();
  // The process-wide instance, never destroyed, so a closing handshake can finish even
  // after its client is gone.
  static GatewayIO& shared();
  // Stops the process-wide loop and joins its thread, so that no handler (a TLS
  // stream's teardown) runs while OpenSSL's exit handlers free its state. Call once,
  // on the way out of main; a later shared() gets the stopped loop.
  static void quiesceShared();
  GatewayIO(const GatewayIO&) = delete;
  GatewayIO& operator=(const GatewayIO&) = delete;

  struct State;
  State& state() { return *state_; }

 private:
  std::shared_ptr<State> state_;
};

class GatewayConnection {
 public:
  static constexpr std::size_t kMaxMessageBytes = 1'048'576;

  struct Target {
    std::string host;
    std::uint16_t port = 8443;
    std::string path = "/v1/agent/conn";
  };

  struct Events {
    std::function<void()> opened;
    std::function<void(std::string text)> message;  // text frames within the limit
    std::function<void(std::size_t bytes)> oversize;
    // Connection, TLS or upgrade failure, or a broken connection.
    std::function<void(std::string error)> failed;
    // The peer's closing handshake, with its close code.
    std::function<void(int code)> closed;
  };

  // Called with nothing when the pong arrived, else with the failure's description.
  using PongHandler = std::function<void(std::optional<std::string> error)>;

  static std::shared_ptr<GatewayConnection> create(
      GatewayIO& io, Target target, std::vector<Certificate> anchors,
      std::vector<std::pair<std::string, std::string>> headers, Events events);
  ~GatewayConnection();

  void resume();
  // `hold` is released once the text is written or dropped with the connection.
  void send(std::string text, std::shared_ptr<void> hold = nullptr);
  void ping(PongHandler onPong);
  // 1006 drops the connection without a closing handshake (the code may not be sent);
  // any other code is sent in a close frame first.
  // `done` runs on the I/O thread once the connection is fully closed.
  void cancel(std::uint16_t closeCode, std::function<void()> done = {});

  struct Impl;

 private:
  explicit GatewayConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<Impl> impl_;
};

}  // namespace vela
