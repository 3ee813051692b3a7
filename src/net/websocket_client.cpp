#include "net/websocket_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <deque>
#include <thread>

#include "net/proxy_tunnel.h"
#include "net/tls_websocket.h"

namespace vela {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// Unsent bytes the kernel may hold beyond what is in flight: more only delays a ping
// behind output without making bulk transfer faster.
constexpr int kNotSentLowWater = 128 * 1024;

}  // namespace

struct WebSocketClient::Impl : std::enable_shared_from_this<Impl> {
  struct Op {
    enum class Kind { text, ping, close } kind;
    std::shared_ptr<std::string> text;
    PongHandler onPong;
    std::uint16_t code = 0;
    std::shared_ptr<void> hold;
  };

  Impl(net::io_context& ioc, Options options, Events events)
      : options(std::move(options)),
        events(std::move(events)),
        ctx(ssl::context::tls_client),
        resolver(ioc),
        closeTimer(ioc) {
    SSL_CTX* native = ctx.native_handle();
    trustInstalled =
        SSL_CTX_set_min_proto_version(native, this->options.tls13Only ? TLS1_3_VERSION : TLS1_2_VERSION) == 1 &&
        installAnchors(native, this->options.trust);
    ctx.set_verify_mode(ssl::verify_peer);
    ws.emplace(ioc, ctx);
  }

  const Options options;
  const Events events;
  ssl::context ctx;
  bool trustInstalled = false;
  tcp::resolver resolver;
  net::steady_timer closeTimer;
  std::optional<TlsWebSocket> ws;
  beast::flat_buffer buffer;
  std::size_t messageBytes = 0;
  bool oversize = false;
  Oversize dropped;  // the bytes kept of an oversize message under way
  websocket::response_type response;
  bool gotResponse = false;
  bool trustRejected = false;
  std::deque<Op> writes;
  std::deque<Op> controls;  // pings and the close, served before `writes`
  std::deque<PongHandler> awaitingPong;
  bool writing = false;
  bool open = false;
  bool ended = false;      // no more events
  bool cancelled = false;  // the owner gave up on this connection
  bool closing = false;    // a closing handshake is under way
  bool upgrading = false;  // the HTTP upgrade is in flight
  std::optional<std::uint16_t> deferredClose;
  bool finished = false;
  std::vector<std::function<void()>> whenFinished;
  // Set by cancel() on the caller's thread, so that nothing reaches the owner after it.
  std::atomic<bool> quiet{false};

  const std::string& host() const { return options.url.host; }
  std::uint16_t port() const { return static_cast<std::uint16_t>(options.url.port.value_or(443)); }

  void resolve() {
    if (ended) return;
    if (!trustInstalled) return failWith("cannot set up the server check");
    // The environment's proxy rule, as for every other connection; a broken one fails
    // this attempt rather than going direct.
    auto route = ProxyRule::fromEnvironment().routeFor(host());
    if (!route) return failWith(route.error().message);
    if (*route) return tunnel(**route);
    resolver.async_resolve(host(), std::to_string(port()),
                           [self = shared_from_this()](beast::error_code ec,
                                                       tcp::resolver::results_type results) {
                             if (ec) return self->fail(ec);
                             self->connect(results);
                           });
  }

  void connect(const tcp::resolver::results_type& results) {
    if (ended) return;
    beast::get_lowest_layer(*ws).expires_after(options.connectTimeout);
    beast::get_lowest_layer(*ws).async_connect(
        results, [self = shared_from_this()](beast::error_code ec, const tcp::endpoint&) {
          if (ec) return self->fail(ec);
          self->connected();
        });
  }

  // Opening the tunnel blocks (libcurl), so it runs on a thread of its own that holds
  // the connection only weakly and hands the socket back to the I/O thread.
  void tunnel(Proxy proxy) {
    std::weak_ptr<Impl> weak = shared_from_this();
    try {
      std::thread([weak, proxy = std::move(proxy), host = host(), port = port(),
                   timeout = options.connectTimeout] {
        pthread_setname_np(pthread_self(), "vela.ws.tunnel");
        Result<int> socket = openSocketVia(proxy, host, port, timeout);
        auto self = weak.lock();
        if (!self) {
          if (socket) ::close(*socket);
          return;
        }
        net::post(self->resolver.get_executor(),
                  [self, socket = std::move(socket)]() mutable { self->tunnelled(std::move(socket)); });
      }).detach();
    } catch (const std::system_error& e) {
      failWith(std::string("cannot start the proxy tunnel: ") + e.what());
    }
  }

  void tunnelled(Result<int> socket) {
    if (ended) {
      if (socket) ::close(*socket);
      return;
    }
    if (!socket) return failWith(socket.error().message);
    if (beast::error_code ec = adoptSocket(*ws, *socket)) return fail(ec);
    beast::get_lowest_layer(*ws).expires_after(options.connectTimeout);
    connected();
  }

  void connected() {
    int lowWater = kNotSentLowWater;
    auto& socket = beast::get_lowest_layer(*ws).socket();
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof lowWater);
    tlsHandshake();
  }

  void tlsHandshake() {
    if (ended) return;
    expectServer(*ws, host());
    ws->next_layer().async_handshake(ssl::stream_base::client, [self = shared_from_this()](
                                                                   beast::error_code ec) {
      if (ec) {
        SSL* s = self->ws->next_layer().native_handle();
        self->trustRejected = SSL_get_verify_result(s) != X509_V_OK || self->ctxHasNoAnchors();
        return self->fail(ec);
      }
      self->upgrade();
    });
  }

  bool ctxHasNoAnchors() {
    X509_STORE* store = SSL_CTX_get_cert_store(ctx.native_handle());
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    return !objects || sk_X509_OBJECT_num(objects) == 0;
  }

  std::string target() const {
    std::string path = options.url.path.empty() ? "/" : options.url.path;
    if (!options.url.query.empty()) path.append("?").append(options.url.query);
    return path;
  }

  void upgrade() {
    if (ended) return;
    useUpgradeTimeouts(*ws, options.connectTimeout);
    ws->set_option(websocket::stream_base::decorator(
        [headers = options.headers](websocket::request_type& request) {
          for (const auto& [name, value] : headers) request.set(name, value);
        }));
    // With an oversize handler the size is policed per message below, so one oversize
    // message never costs the connection; without, the library ends it.
    ws->read_message_max(events.oversize ? 0 : options.maxMessageBytes);
    ws->auto_fragment(options.frameBytes != 0);
    if (options.frameBytes != 0) ws->write_buffer_bytes(options.frameBytes);
    ws->control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind != websocket::frame_type::pong || awaitingPong.empty()) return;
      PongHandler handler = std::move(awaitingPong.front());
      awaitingPong.pop_front();
      handler(std::nullopt);
    });
    upgrading = true;
    ws->async_handshake(response, options.url.authority(), target(),
                        [self = shared_from_this()](beast::error_code ec) {
                          self->upgrading = false;
                          self->gotResponse = !ec || ec == websocket::error::upgrade_declined;
                          if (ec) return self->fail(ec);
                          if (self->deferredClose) return self->closeAfterUpgrade();
                          self->opened();
                        });
  }

  // The owner gave up while the upgrade was in flight: the server already counts the
  // connection as open, so it gets a proper closing handshake with the owner's code.
  void closeAfterUpgrade() {
    open = true;
    ended = true;
    closing = true;
    controls.push_back(Op{Op::Kind::close, nullptr, nullptr, *deferredClose, nullptr});
    pump();
  }

  void opened() {
    if (ended) return;
    open = true;
    if (events.opened && !quiet) events.opened();
    read();
    pump();
  }

  void read() {
    if (ended) return;
    ws->async_read_some(buffer, kReadChunk,
                        [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                          self->received(ec, n);
                        });
  }

  void received(beast::error_code ec, std::size_t n) {
    // A peer that drops the socket right after its close frame fails our half of the
    // closing handshake; the close it sent is still what ended the connection.
    if (ec == websocket::error::closed || (ec && ws->reason().code != websocket::close_code::none)) {
      return peerClosed(ec);
    }
    if (ec) return fail(ec);
    messageBytes += n;
    if (messageBytes > options.maxMessageBytes && !oversize) {
      oversize = true;
      dropped = Oversize{};
    }
    if (oversize) keepEnds();
    if (ws->is_message_done()) {
      bool wanted = !ws->got_binary() || options.binaryAsText;
      bool tooBig = oversize;
      std::string text;
      if (wanted && !tooBig) text = beast::buffers_to_string(buffer.data());
      buffer.consume(buffer.size());
      Oversize over = std::exchange(dropped, Oversize{});
      over.bytes = messageBytes;
      messageBytes = 0;
      oversize = false;
      if (!ended && wanted && !quiet) {
        if (tooBig) {
          if (events.oversize) events.oversize(over);
        } else if (events.message) {
          events.message(std::move(text));
        }
      }
    }
    read();
  }

  // Moves what the buffer holds of an oversize message into `dropped`'s head and tail.
  void keepEnds() {
    std::string chunk = beast::buffers_to_string(buffer.data());
    buffer.consume(buffer.size());
    std::string_view rest(chunk);
    const std::size_t keep = Oversize::kKeptBytes;
    if (dropped.head.size() < keep) {
      std::size_t n = std::min(keep - dropped.head.size(), rest.size());
      dropped.head.append(rest.substr(0, n));
      rest.remove_prefix(n);
    }
    if (rest.size() >= keep) {
      dropped.tail.assign(rest.substr(rest.size() - keep));
    } else {
      dropped.tail.append(rest);
      if (dropped.tail.size() > keep) dropped.tail.erase(0, dropped.tail.size() - keep);
    }
  }

  void enqueue(Op op) {
    if (ended) {
      if (op.onPong) op.onPong("connection closed");
      return;
    }
    (op.kind == Op::Kind::text ? writes : controls).push_back(std::move(op));
    pump();
  }

  void pump() {
    if (writing || !open || (writes.empty() && controls.empty()) || (ended && !closing)) return;
    auto& from = controls.empty() ? writes : controls;
    Op op = std::move(from.front());
    from.pop_front();
    writing = true;
    auto self = shared_from_this();
    switch (op.kind) {
      case Op::Kind::text:
        ws->text(true);
        ws->async_write(net::buffer(*op.text), [self, keep = op.text, hold = std::move(op.hold)](
                                                   beast::error_code ec, std::size_t) {
          self->writing = false;
          if (ec && self->events.sendFailed) self->events.sendFailed(ec.message());
          self->pump();
        });
        break;
      case Op::Kind::ping:
        awaitingPong.push_back(std::move(op.onPong));
        ws->async_ping({}, [self](beast::error_code ec) {
          self->writing = false;
          if (ec && !self->awaitingPong.empty()) {
            PongHandler handler = std::move(self->awaitingPong.back());
            self->awaitingPong.pop_back();
            handler(ec.message());
          }
          self->pump();
        });
        break;
      case Op::Kind::close:
        ws->async_close(websocket::close_reason(op.code), [self](beast::error_code) {
          self->writing = false;
          self->finish(std::nullopt);
        });
        break;
    }
  }

  void cancel(std::uint16_t code, std::function<void()> done) {
    if (done) {
      if (finished) {
        done();
      } else {
        whenFinished.push_back(std::move(done));
      }
    }
    if (cancelled) return;
    cancelled = true;
    bool wasOpen = open && !ended;
    writes.clear();
    controls.clear();
    if (code != 1006 && upgrading && !ended) {
      deferredClose = code;
      armCloseGrace();
      return;
    }
    if (code == 1006 || !wasOpen) return finish(std::nullopt);
    ended = true;
    closing = true;
    controls.push_back(Op{Op::Kind::close, nullptr, nullptr, code, nullptr});
    pump();
    armCloseGrace();
  }

  void armCloseGrace() {
    closeTimer.expires_after(kCloseGrace);
    closeTimer.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->finish(std::nullopt);
    });
  }

  bool reporting() const { return !cancelled && !quiet; }

  void peerClosed(beast::error_code ec) {
    if (ended) return hardClose();
    int code = ws->reason().code;
    finish(std::nullopt);
    if (!reporting()) return;
    if (events.closed) {
      events.closed(code);
    } else if (events.failed) {
      events.failed(ec.message());
    }
  }

  void fail(beast::error_code ec) {
    if (ended && cancelled) return hardClose();
    if (ended) return;
    finish(ec);
    if (reporting() && events.failed) events.failed(ec.message());
  }

  // A failure before any socket work, described in words (a refused tunnel, a broken
  // proxy setting).
  void failWith(std::string message) {
    if (ended) return;
    finish(std::nullopt);
    if (reporting() && events.failed) events.failed(std::move(message));
  }

  // Ends the connection once: says how it ended and fails waiting pongs.
  void finish(std::optional<beast::error_code> ec) {
    bool first = !finished;
    finished = true;
    ended = true;
    hardClose();
    if (first && events.ended) {
      Ending ending;
      ending.trustRejected = trustRejected;
      // A connection that was upgraded and later closed is no failure to report.
      if (gotResponse && response.result_int() != 101) ending.upgradeStatus = response.result_int();
      if (ec) {
        ending.error.emplace("[");
        ending.error->append(ec->category().name()).append(" ").append(std::to_string(ec->value()));
        ending.error->append("] ").append(ec->message());
      }
      events.ended(ending);
    }
    // Queued output goes now: its holds may be budgets their owners wait on.
    writes.clear();
    auto waiting = std::exchange(awaitingPong, {});
    for (auto& op : std::exchange(controls, {})) {
      if (op.onPong) waiting.push_back(std::move(op.onPong));
    }
    for (auto& handler : waiting) handler("connection closed");
    auto callbacks = std::exchange(whenFinished, {});
    for (auto& callback : callbacks) callback();
  }

  void hardClose() {
    beast::error_code ignored;
    resolver.cancel();
    closeTimer.cancel();
    beast::get_lowest_layer(*ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(*ws).close();
  }
};

std::shared_ptr<WebSocketClient> WebSocketClient::create(WebSocketIO& io, Options options, Events events) {
  auto impl = std::make_shared<Impl>(io.context(), std::move(options), std::move(events));
  return std::shared_ptr<WebSocketClient>(new WebSocketClient(std::move(impl)));
}

WebSocketClient::~WebSocketClient() {
  // Whoever drops the last handle without cancelling still must not leak the socket.
  net::post(impl_->resolver.get_executor(), [impl = impl_] {
    if (!impl->ended) impl->cancel(1006, {});
  });
}

void WebSocketClient::start() {
  net::post(impl_->resolver.get_executor(), [impl = impl_] { impl->resolve(); });
}

void WebSocketClient::send(std::string text, std::shared_ptr<void> hold) {
  net::post(impl_->resolver.get_executor(),
            [impl = impl_, text = std::make_shared<std::string>(std::move(text)),
             hold = std::move(hold)]() mutable {
              impl->enqueue(Impl::Op{Impl::Op::Kind::text, text, nullptr, 0, std::move(hold)});
            });
}

void WebSocketClient::ping(PongHandler onPong) {
  net::post(impl_->resolver.get_executor(), [impl = impl_, onPong = std::move(onPong)]() mutable {
    impl->enqueue(Impl::Op{Impl::Op::Kind::ping, nullptr, std::move(onPong), 0, nullptr});
  });
}

void WebSocketClient::cancel(std::uint16_t closeCode, std::function<void()> done) {
  impl_->quiet = true;
  net::post(impl_->resolver.get_executor(), [impl = impl_, closeCode, done = std::move(done)]() mutable {
    impl->cancel(closeCode, std::move(done));
  });
}

}  // namespace vela
