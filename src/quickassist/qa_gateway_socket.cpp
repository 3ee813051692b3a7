#include "quickassist/qa_gateway_socket.h"

#include <netdb.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <deque>
#include <mutex>
#include <thread>

#include "net/proxy_tunnel.h"
#include "net/tls_websocket.h"
#include "util/log.h"
#include "util/serial_queue.h"

namespace vela {

namespace beast = boost::beast;
namespace net = boost::asio;
namespace ssl = net::ssl;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(30);
constexpr auto kCloseGrace = std::chrono::seconds(3);

}  // namespace

struct QAGatewaySocket::Impl : std::enable_shared_from_this<Impl> {
  Impl(URL url, Events events)
      : url(std::move(url)), events(std::move(events)), ctx(ssl::context::tls_client), closeTimer(ioc) {
    SSL_CTX_set_min_proto_version(ctx.native_handle(), TLS1_2_VERSION);
    // SSL_CERT_FILE and SSL_CERT_DIR move these, as for any OpenSSL program.
    ctx.set_default_verify_paths();
    ctx.set_verify_mode(ssl::verify_peer);
    ws = std::make_unique<TlsWebSocket>(ioc, ctx);
  }

  const URL url;
  const Events events;
  net::io_context ioc;
  ssl::context ctx;
  std::unique_ptr<TlsWebSocket> ws;
  net::steady_timer closeTimer;
  beast::flat_buffer buffer;
  std::thread thread;
  Semaphore loopEnded;

  // On the socket's thread.
  std::deque<std::string> writes;
  bool writing = false;
  bool open = false;
  bool ended = false;

  std::atomic<bool> cancelled{false};

  void run() {
    auto work = net::make_work_guard(ioc);
    std::uint16_t port = static_cast<std::uint16_t>(url.port.value_or(443));
    auto fd = openTunnelledSocket(url.host, port, kConnectTimeout);
    if (!fd) {
      fail(fd.error().message);
    } else if (!cancelled) {
      if (beast::error_code ec = adoptSocket(*ws, *fd)) {
        fail(ec.message());
      } else {
        tlsHandshake();
      }
    } else {
      ::close(*fd);
      ended = true;
    }
    work.reset();
    ioc.run();
  }

  void tlsHandshake() {
    expectServer(*ws, url.host);
    beast::get_lowest_layer(*ws).expires_after(kConnectTimeout);
    ws->next_layer().async_handshake(ssl::stream_base::client, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return self->fail(ec.message());
      self->upgrade();
    });
  }

  void upgrade() {
    if (ended) return;
    useUpgradeTimeouts(*ws, kConnectTimeout);
    ws->read_message_max(kMaxMessageBytes);
    std::string target = url.path.empty() ? "/" : url.path;
    if (!url.query.empty()) target += "?" + url.query;
    ws->async_handshake(url.authority(), target, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return self->fail(ec.message());
      if (self->cancelled) return self->closeNow();
      self->open = true;
      self->flush();
      self->read();
    });
  }

  void read() {
    ws->async_read(buffer, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->fail(ec.message());
      std::string text = beast::buffers_to_string(self->buffer.data());
      self->buffer.consume(self->buffer.size());
      if (!self->cancelled && self->events.message) self->events.message(std::move(text));
      if (!self->ended) self->read();
    });
  }

  void flush() {
    if (!open || writing || writes.empty() || ended) return;
    writing = true;
    auto text = std::make_shared<std::string>(std::move(writes.front()));
    writes.pop_front();
    ws->text(true);
    ws->async_write(net::buffer(*text), [self = shared_from_this(), text](beast::error_code ec, std::size_t) {
      self->writing = false;
      if (ec) {
        Log::warn("quick-assist ws send: " + ec.message());
        return;
      }
      self->flush();
    });
  }

  void cancel(std::uint16_t code) {
    if (ended) return;
    if (!open) return closeNow();
    open = false;
    closeTimer.expires_after(kCloseGrace);
    closeTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->closeNow();
    });
    ws->async_close(websocket::close_reason(code), [self = shared_from_this()](beast::error_code) {
      self->closeNow();
    });
  }

  void fail(const std::string& why) {
    if (ended) return;
    closeNow();
    if (!cancelled && events.failed) events.failed(why);
  }

  void closeNow() {
    if (ended) return;
    ended = true;
    open = false;
    writes.clear();
    closeTimer.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(*ws).socket().close(ignored);
  }
};

std::shared_ptr<QAGatewaySocket> QAGatewaySocket::create(URL url, Events events) {
  return std::shared_ptr<QAGatewaySocket>(new QAGatewaySocket(std::make_shared<Impl>(std::move(url), std::move(events))));
}

QAGatewaySocket::~QAGatewaySocket() {
  cancel(1001);
  if (impl_->thread.joinable() && impl_->thread.get_id() == std::this_thread::get_id()) {
    impl_->thread.detach();
    return;
  }
  join();
}

void QAGatewaySocket::start() {
  impl_->thread = std::thread([impl = impl_] {
    pthread_setname_np(pthread_self(), "vela.qa.ws");
    impl->run();
    impl->loopEnded.signal();
  });
}

void QAGatewaySocket::send(std::string text) {
  net::post(impl_->ioc, [weak = std::weak_ptr<Impl>(impl_), text = std::move(text)]() mutable {
    auto impl = weak.lock();
    if (!impl || impl->ended) return;
    impl->writes.push_back(std::move(text));
    impl->flush();
  });
}

void QAGatewaySocket::cancel(std::uint16_t code) {
  impl_->cancelled = true;
  net::post(impl_->ioc, [weak = std::weak_ptr<Impl>(impl_), code] {
    if (auto impl = weak.lock()) impl->cancel(code);
  });
}

void QAGatewaySocket::join() {
  if (!impl_->thread.joinable() || impl_->thread.get_id() == std::this_thread::get_id()) return;
  // A close handshake parked behind the pending read can be left waiting inside the
  // WebSocket library after its socket closed; past the grace the loop is stopped, so
  // that ending a session never hangs the program.
  const bool stuck = !impl_->loopEnded.waitFor(kCloseGrace + std::chrono::seconds(1));
  if (stuck) impl_->ioc.stop();
  impl_->thread.join();
  if (stuck) {
    // What had completed sees the connection ended and lets go of it; the parked close
    // goes with the stream, so nothing keeps the connection alive.
    impl_->ioc.restart();
    impl_->ioc.poll();
    impl_->ws.reset();
    impl_->ioc.poll();
  }
}

}  // namespace vela
