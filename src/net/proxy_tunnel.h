#pragma once

// A connected TCP socket to a server, through the environment's proxy when one applies
// (ProxyRule): libcurl opens the HTTP CONNECT tunnel, with the proxy's credentials when
// its URL carries them, and hands over the socket. Whatever runs over it (TLS, a
// WebSocket) is end to end; the proxy only relays bytes.
//
// Blocks for up to `timeout`; call it off any event loop. The socket is in blocking
// mode, close-on-exec, and owned by the caller. A refusal by the proxy is an error
// naming its status ("CONNECT 403").

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "net/proxy_rule.h"
#include "util/agent_error.h"

namespace vela {

Result<int> openTunnelledSocket(const std::string& host, uint16_t port, std::chrono::milliseconds timeout);

// The same with the route already decided: nothing connects directly.
Result<int> openSocketVia(const std::optional<Proxy>& proxy, const std::string& host, uint16_t port,
                          std::chrono::milliseconds timeout);

}  // namespace vela
