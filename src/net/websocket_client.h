#pragma once

// The agent's one WebSocket client, over TLS: connect (or, when the environment's proxy
// applies, a CONNECT tunnel opened off the loop), the TLS handshake against the trust
// policy with the host name checked, the HTTP upgrade with the caller's headers, then a
// receive loop and an ordered write queue for text messages, pings and the closing
// handshake; pings and the close frame go ahead of queued text, so a backlog of output
// never delays a watchdog. All socket work runs on a WebSocketIO's thread; send, ping and
// cancel may be called from any thread. The events are called on that thread; once
// cancel() has been called only pong results, `sendFailed`, `ended` and cancel's `done`
// are, and after `failed` or `closed` only those and `ended`.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/server_trust.h"
#include "net/websocket_io.h"
#include "util/url.h"

namespace vela {

class WebSocketClient {
 public:
  // How long a closing handshake may take before the connection is dropped.
  static constexpr std::chrono::seconds kCloseGrace{3};

  struct Options {
    // wss:// (or https://): the host and port dialled (443 when none is given) and named
    // in the Host header; the path and query are the upgrade's target.
    URL url{};
    // Pinned: only its CA certificates anchor the chain, never SPKI pins.
    ServerTrust trust;
    std::vector<std::pair<std::string, std::string>> headers{};  // on the upgrade request
    bool tls13Only = true;  // else TLS 1.2 will do
    std::chrono::seconds connectTimeout{60};  // connecting, TLS and the upgrade
    std::size_t maxMessageBytes = 1'048'576;
    bool binaryAsText = false;  // else binary messages are dropped
    std::size_t frameBytes = 0;  // outgoing messages split into frames this large; 0: whole
  };

  // How a connection ended, for its owner's log.
  struct Ending {
    bool trustRejected = false;           // the server's certificate, or nothing to trust
    std::optional<int> upgradeStatus;     // an HTTP answer other than 101 to the upgrade
    std::optional<std::string> error;     // "[category value] message" of the failure
  };

  // A message over the limit: its size and its first and last few bytes, enough for an
  // owner to find whom a JSON frame was meant for and answer it.
  struct Oversize {
    static constexpr std::size_t kKeptBytes = 4096;
    std::size_t bytes = 0;
    std::string head;  // at most kKeptBytes from the start
    std::string tail;  // at most kKeptBytes from the end
  };

  struct Events {
    std::function<void()> opened;
    // A whole message within the limit: text, and binary with Options::binaryAsText.
    std::function<void(std::string text)> message;
    // A message over the limit, dropped. Without this handler such a message ends the
    // connection instead (close code 1009), reported through `failed`.
    std::function<void(const Oversize&)> oversize;
    // Connection, TLS or upgrade failure, or a broken connection.
    std::function<void(std::string error)> failed;
    // The peer's closing handshake, with its close code. Without this handler it is
    // reported through `failed`, in the WebSocket library's words.
    std::function<void(int code)> closed;
    // A queued text that could not be written.
    std::function<void(std::string error)> sendFailed;
    // Once, however the connection ended, cancelled or not.
    std::function<void(const Ending&)> ended;
  };

  // Called with nothing when the pong arrived, else with the failure's description.
  using PongHandler = std::function<void(std::optional<std::string> error)>;

  static std::shared_ptr<WebSocketClient> create(WebSocketIO& io, Options options, Events events);
  ~WebSocketClient();
  WebSocketClient(const WebSocketClient&) = delete;
  WebSocketClient& operator=(const WebSocketClient&) = delete;

  void start();
  // Queued until the upgrade is done. `hold` is released once the text is written or
  // dropped with the connection.
  void send(std::string text, std::shared_ptr<void> hold = nullptr);
  void ping(PongHandler onPong);
  // 1006 drops the connection without a closing handshake (the code may not be sent);
  // any other code is sent in a close frame first, after the upgrade if it is under way.
  // `done` runs on the I/O thread once the connection is fully closed.
  void cancel(std::uint16_t closeCode, std::function<void()> done = {});

  struct Impl;

 private:
  explicit WebSocketClient(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<Impl> impl_;
};

}  // namespace vela
