#include "net/proxy_tunnel.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "net/curl_global.h"
#include "net/curl_options.h"
#include "util/url.h"

namespace vela {

Result<int> openTunnelledSocket(const std::string& host, uint16_t port, std::chrono::milliseconds timeout) {
  auto route = ProxyRule::fromEnvironment().routeFor(host);
  if (!route) return tl::unexpected(route.error());
  return openSocketVia(*route, host, port, timeout);
}

Result<int> openSocketVia(const std::optional<Proxy>& proxy, const std::string& host, uint16_t port,
                          std::chrono::milliseconds timeout) {
  URL target;
  target.host = std::string(host.size() >= 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host);
  target.port = port;
  const std::string authority = target.authority();
  const std::string failure = proxy ? "cannot reach " + authority + " through proxy " + proxy->displayURL + ": "
                                    : "cannot connect to " + authority + ": ";

  CurlHandle handle = newCurlHandle();
  if (!handle) return fail(failure + "cannot create a connection handle");
  CURL* h = handle.get();
  // An http:// URL with CONNECT_ONLY stops once TCP (and the tunnel) is up: no request
  // is sent, and TLS is left to the caller.
  const std::string url = "http://" + authority + "/";
  const long timeoutMs = std::max<long>(1, static_cast<long>(timeout.count()));
  char errorBuffer[CURL_ERROR_SIZE] = {};
  bool configured =
      curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
      CurlOptions::route(h, proxy);
  if (!configured) return fail(failure + "cannot configure the connection");

  CURLcode code = curl_easy_perform(h);
  if (code != CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &status);
    if (proxy && status >= 300) return fail(describeRefusedTunnel(*proxy, authority, status));
    return fail(failure + (errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code)));
  }
  curl_socket_t active = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &active) != CURLE_OK || active == CURL_SOCKET_BAD) {
    return fail(failure + "no connected socket");
  }
  // libcurl closes its own descriptor with the handle; the duplicate stays connected.
  int fd = ::fcntl(active, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return fail(failure + "cannot keep the socket");
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace vela
