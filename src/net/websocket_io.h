#pragma once

// The thread and event loop that WebSocket connections run on. Destroying it stops the
// loop; safe from any thread, including its own.

#include <memory>
#include <string>

namespace boost::asio {
class io_context;
}

namespace vela {

class WebSocketIO {
 public:
  explicit WebSocketIO(std::string threadName);
  ~WebSocketIO();
  WebSocketIO(const WebSocketIO&) = delete;
  WebSocketIO& operator=(const WebSocketIO&) = delete;

  // The process-wide loop the daemon's gateway connections share ("vela.gateway.io"),
  // never destroyed, so a closing handshake can finish even after its client is gone.
  static WebSocketIO& shared();
  // Stops the process-wide loop and joins its thread, so that no handler (a TLS
  // stream's teardown) runs while OpenSSL's exit handlers free its state. Call once,
  // on the way out of main; a later shared() gets the stopped loop.
  static void quiesceShared();

  boost::asio::io_context& context();
  // Whether the caller is running on this loop's thread.
  bool isCurrentThread() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vela
