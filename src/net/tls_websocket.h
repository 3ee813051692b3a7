#pragma once

// The pieces of a TLS WebSocket stream's set-up: the server's name for TLS, a socket
// connected elsewhere, the timeouts around the upgrade.

#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <string>

namespace vela {

using TlsWebSocket = boost::beast::websocket::stream<boost::beast::ssl_stream<boost::beast::tcp_stream>>;

// Before the TLS handshake: SNI for a name (never for an IP literal) and the name or
// address the server's certificate has to carry.
void expectServer(TlsWebSocket& ws, const std::string& host);

// Takes over a connected socket (a proxy tunnel's, or one opened elsewhere); the socket's
// own family decides, since a tunnelled socket's is not the host's. Closes it on failure.
boost::beast::error_code adoptSocket(TlsWebSocket& ws, int fd);

// Once TLS is up: the upgrade has `handshake` to finish; after it there is no idle
// timeout and no automatic pinging, since each client watches liveness itself.
void useUpgradeTimeouts(TlsWebSocket& ws, std::chrono::seconds handshake);

}  // namespace vela
