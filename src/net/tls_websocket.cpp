#include "net/tls_websocket.h"

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/pinned_anchors.h"

namespace vela {

namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

void expectServer(TlsWebSocket& ws, const std::string& host) {
  SSL* ssl = ws.next_layer().native_handle();
  if (!PinnedAnchors::isIPLiteral(host)) SSL_set_tlsext_host_name(ssl, host.c_str());
  PinnedAnchors::expectHost(SSL_get0_param(ssl), host);
}

boost::beast::error_code adoptSocket(TlsWebSocket& ws, int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  boost::beast::error_code ec;
  boost::beast::get_lowest_layer(ws).socket().assign(local.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd,
                                                     ec);
  if (ec) ::close(fd);
  return ec;
}

void useUpgradeTimeouts(TlsWebSocket& ws, std::chrono::seconds handshake) {
  boost::beast::get_lowest_layer(ws).expires_never();
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = handshake;
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;
  ws.set_option(timeouts);
}

}  // namespace vela
