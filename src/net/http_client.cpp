#include "net/http_client.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <strings.h>

#include <curl/curl.h>

#include "net/curl_global.h"
#include "net/curl_options.h"
#include "net/proxy_rule.h"
#include "util/agent_version.h"
#include "util/log.h"
#include "util/url.h"
#include "util/utf8.h"

namespace vela {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The callbacks below are called from C: each catches what it could throw and turns
// it into the transfer's failure.
CURLcode configurePinned(CURL*, void* sslContext, void* tls) noexcept {
  try {
    auto configured = static_cast<PinnedTLS*>(tls)->configure(static_cast<SSL_CTX*>(sslContext));
    if (configured) return CURLE_OK;
    Log::error(configured.error().message);
    return CURLE_SSL_CERTPROBLEM;
  } catch (const std::exception&) {
    return CURLE_OUT_OF_MEMORY;
  }
}

// libcurl's own check then holds the server to the system store; its bundle is off.
CURLcode configureSystemStore(CURL*, void* sslContext, void*) noexcept {
  return installAnchors(static_cast<SSL_CTX*>(sslContext), SystemTrustStore{}) ? CURLE_OK
                                                                                : CURLE_SSL_CACERT_BADFILE;
}

// One reply being received: where its body goes and why a transfer was stopped. The
// reason is recorded as a kind so that the callbacks never allocate to report it.
struct Reception {
  // errorPageCut is no failure: an error reply's body was cut at the limit.
  enum class Stop { none, bodyLimit, errorPageCut, refused, headerLimit, noMemory };

  CURL* handle = nullptr;
  HTTPClient::Response* response = nullptr;
  const HTTPClient::BodySink* sink = nullptr;
  std::size_t maxBodyBytes = 0;
  std::size_t bodyBytes = 0;
  std::size_t headerBytes = 0;
  Stop stop = Stop::none;

  bool successStatus() const {
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return status >= 200 && status <= 299;
  }
  std::optional<std::string> stopReason() const {
    switch (stop) {
      case Stop::none:
      case Stop::errorPageCut:
        return std::nullopt;
      case Stop::bodyLimit:
        return "reply body exceeds the " + std::to_string(maxBodyBytes) +
               "-byte limit for this call; transfer aborted";
      case Stop::refused:
        return "reply body refused by its receiver";
      case Stop::headerLimit:
        return "reply headers exceed " + std::to_string(BodyLimits::kHeaders) + " bytes";
      case Stop::noMemory:
        return "out of memory while receiving the reply";
    }
    return std::nullopt;
  }
};

// Returning anything but `size * count` makes curl abort with a write error.
size_t collectBody(char* data, size_t size, size_t count, void* target) noexcept {
  auto* r = static_cast<Reception*>(target);
  const size_t n = size * count;
  auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  try {
    // A sink bounds its own stream; the limit is for what is held here.
    if (*r->sink && r->successStatus()) {
      if ((*r->sink)(std::span(bytes, n))) return n;
      r->stop = Reception::Stop::refused;
      return 0;
    }
    if (n > r->maxBodyBytes - r->bodyBytes) {
      // An error reply is read for its status and first words only, so a large error
      // page (a proxy's, say) still reports its status: keep what fits and end there.
      if (r->successStatus()) {
        r->stop = Reception::Stop::bodyLimit;
        return 0;
      }
      const std::size_t fits = r->maxBodyBytes - r->bodyBytes;
      r->response->body.insert(r->response->body.end(), bytes, bytes + fits);
      r->bodyBytes += fits;
      r->stop = Reception::Stop::errorPageCut;
      return 0;
    }
    r->bodyBytes += n;
    r->response->body.insert(r->response->body.end(), bytes, bytes + n);
    return n;
  } catch (const std::exception&) {
    // A sink's own failures are its to report; this is the buffer or a sink that threw.
    r->stop = Reception::Stop::noMemory;
    return 0;
  }
}

// Called each time curl is about to send the request. A second call means a kept
// connection died under it and curl would quietly send it again; each request is made
// once, and a failure waits for the caller's next turn.
int sendOnce(void* sends, char*, char*, int, int) noexcept {
  return ++*static_cast<int*>(sends) == 1 ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

size_t collectHeader(char* data, size_t size, size_t count, void* target) noexcept {
  auto* r = static_cast<Reception*>(target);
  const size_t n = size * count;
  r->headerBytes += n;
  if (r->headerBytes > BodyLimits::kHeaders) {
    r->stop = Reception::Stop::headerLimit;
    return 0;
  }
  auto& headers = r->response->headers;
  std::string_view line(data, n);
  try {
    // A new status line starts a new header block (after 100 Continue, for instance).
    if (line.starts_with("HTTP/")) {
      headers.clear();
      return n;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return n;
    std::string name(line.substr(0, colon));
    std::string value(UTF8::trimWhitespace(line.substr(colon + 1)));
    auto [it, inserted] = headers.try_emplace(name, value);
    if (!inserted) it->second += ", " + value;
    return n;
  } catch (const std::exception&) {
    r->stop = Reception::Stop::noMemory;
    return 0;
  }
}

struct URLFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// A request's URL as libcurl parsed it.
struct ParsedURL {
  std::unique_ptr<CURLU, URLFree> handle;  // absent when libcurl cannot parse the text
  std::string host;                        // without brackets for IPv6 literals
};

ParsedURL parseURL(const std::string& text) {
  ParsedURL url;
  url.handle.reset(curl_url());
  if (!url.handle || curl_url_set(url.handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
    url.handle.reset();
    return url;
  }
  char* host = nullptr;
  if (curl_url_get(url.handle.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    std::string_view name(host);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
      name = name.substr(1, name.size() - 2);
    }
    url.host = std::string(name);
    curl_free(host);
  }
  return url;
}

// "host:port" of a request, as its tunnel names it.
std::string hostAuthority(CURLU* url, const std::string& host) {
  URL authority;
  authority.host = host;
  char* port = nullptr;
  if (url && curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK && port) {
    authority.port = std::atoi(port);
    curl_free(port);
  }
  return authority.authority();
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  void add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
};

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// A file sent as a request's body.
struct Upload {
  std::unique_ptr<std::FILE, FileClose> file;
  curl_off_t size = 0;
};

std::optional<Upload> openUpload(const std::string& path) {
  Upload upload{std::unique_ptr<std::FILE, FileClose>(std::fopen(path.c_str(), "rb"))};
  if (!upload.file || std::fseek(upload.file.get(), 0, SEEK_END) != 0) return std::nullopt;
  long size = std::ftell(upload.file.get());
  if (size < 0 || std::fseek(upload.file.get(), 0, SEEK_SET) != 0) return std::nullopt;
  upload.size = size;
  return upload;
}

// The request line's method and where the body comes from: nothing, `request.body`, or
// the upload.
bool setMethodAndBody(CURL* h, const HTTPClient::Request& request, const std::optional<Upload>& upload) {
  if (upload) {
    return curl_easy_setopt(h, CURLOPT_UPLOAD, 1L) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_READDATA, upload->file.get()) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, upload->size) == CURLE_OK &&
           (request.method == "PUT" ||
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str()) == CURLE_OK);
  }
  if (request.method == "GET") return curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  if (request.method == "HEAD") return curl_easy_setopt(h, CURLOPT_NOBODY, 1L) == CURLE_OK;
  static const char kEmpty[] = "";
  const char* bodyData = request.body.empty() ? kEmpty : reinterpret_cast<const char*>(request.body.data());
  if (request.method == "POST" || !request.body.empty()) {
    if (curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size())) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, bodyData) != CURLE_OK) {
      return false;
    }
  }
  return request.method == "POST" || curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str()) == CURLE_OK;
}

}  // namespace

std::string HTTPError::description() const {
  switch (kind_) {
    case Kind::transport:
      return "transport error: " + message_;
    case Kind::noResponse:
      return "no HTTP response";
  }
  return "no HTTP response";
}

std::string HTTPClient::Response::bodyString() const {
  std::string text(body.begin(), body.end());
  return UTF8::isValid(text) ? text : std::string();
}

std::optional<std::string> HTTPClient::Response::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

void HTTPClient::Request::setHeader(std::string_view name, std::string value) {
  std::erase_if(headers, [&](const auto& entry) { return equalsIgnoringCase(entry.first, name); });
  headers.emplace(std::string(name), std::move(value));
}

HTTPClient::HTTPClient(PinnedTrust trust, std::optional<ClientIdentity> clientIdentity,
                       double timeout)
    : pinned_(std::in_place, std::move(trust), std::move(clientIdentity)), timeout_(timeout) {}

HTTPClient::HTTPClient(SystemTrustStore, double timeout) : timeout_(timeout) {}

HTTPClient::~HTTPClient() {
  if (curl_) curl_easy_cleanup(curl_);
}

HTTPClient::Request HTTPClient::makeGET(const std::string& url, const Headers& headers) {
  Request request;
  request.method = "GET";
  request.url = url;
  request.setHeader("User-Agent", std::string(AgentVersion::httpUserAgent));
  for (const auto& [name, value] : headers) request.setHeader(name, value);
  return request;
}

HTTPClient::Request HTTPClient::makePOST(const std::string& url,
                                         std::span<const std::uint8_t> body,
                                         const Headers& headers) {
  Request request;
  request.method = "POST";
  request.url = url;
  request.body.assign(body.begin(), body.end());
  request.setHeader("User-Agent", std::string(AgentVersion::httpUserAgent));
  for (const auto& [name, value] : headers) request.setHeader(name, value);
  request.setHeader("Content-Type", "application/json");
  request.setHeader("Accept", "application/json");
  return request;
}

Result<HTTPClient::Response, HTTPError> HTTPClient::get(const std::string& url,
                                                        const Headers& headers,
                                                        std::size_t maxBodyBytes) {
  Request request = makeGET(url, headers);
  request.maxBodyBytes = maxBodyBytes;
  return send(request);
}

Result<HTTPClient::Response, HTTPError> HTTPClient::postJSON(const std::string& url,
                                                             std::span<const std::uint8_t> body,
                                                             const Headers& headers,
                                                             std::size_t maxBodyBytes) {
  Request request = makePOST(url, body, headers);
  request.maxBodyBytes = maxBodyBytes;
  return send(request);
}

Result<HTTPClient::Response, HTTPError> HTTPClient::postJSON(const std::string& url,
                                                             std::string_view body,
                                                             const Headers& headers,
                                                             std::size_t maxBodyBytes) {
  return postJSON(url, std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()),
                  headers, maxBodyBytes);
}

Result<HTTPClient::Response, HTTPError> HTTPClient::send(const Request& request) {
  auto schemeEnd = request.url.find("://");
  std::string_view scheme = std::string_view(request.url).substr(0, schemeEnd);
  if (schemeEnd == std::string::npos || !equalsIgnoringCase(scheme, "https")) {
    return tl::unexpected(HTTPError::transport("refusing non-https request to " +
                                               (request.url.empty() ? "?" : request.url)));
  }
  // One parse names both the host libcurl connects to and the host the server check
  // holds the certificate to.
  ParsedURL url = parseURL(request.url);
  // With nothing to authenticate the server by, not even a handshake is attempted.
  if (pinned_ && pinned_->trust().caCertificates.empty() && pinned_->trust().spkiPins.empty()) {
    pinned_->evaluatePinned({}, url.host);
    return tl::unexpected(HTTPError::transport(pinned_->takeRejection().value_or("?")));
  }
  // A proxy variable that does not parse stops the request rather than going direct.
  auto proxy = ProxyRule::fromEnvironment().routeFor(url.host);
  if (!proxy) return tl::unexpected(HTTPError::transport(proxy.error().message));
  MutexLock lock(mutex_);
  return perform(request, url.handle.get(), url.host, *proxy);
}

Result<HTTPClient::Response, HTTPError> HTTPClient::perform(const Request& request, CURLU* url,
                                                            const std::string& host,
                                                            const std::optional<Proxy>& proxy) {
  if (!curl_) curl_ = newCurlHandle().release();
  if (!curl_) return tl::unexpected(HTTPError::transport("cannot create an HTTP session"));
  // Resetting keeps the live connection, so keep-alive survives between requests.
  curl_easy_reset(curl_);
  CURL* h = curl_;

  char errorBuffer[CURL_ERROR_SIZE] = {};
  int sends = 0;
  Response response;
  Reception reception;
  reception.handle = h;
  reception.response = &response;
  reception.sink = &request.bodySink;
  reception.maxBodyBytes = request.maxBodyBytes;
  std::optional<Upload> upload;
  if (!request.bodyFile.empty()) {
    upload = openUpload(request.bodyFile);
    if (!upload) return tl::unexpected(HTTPError::transport("cannot read " + request.bodyFile));
  }
  HeaderList headerList;
  for (const auto& [name, value] : request.headers) headerList.add(name + ": " + value);
  // A body held here goes at once; curl would otherwise wait for "100 Continue" before a
  // large one. A file is worth the wait: a server that refuses it costs a round trip.
  if (!upload) headerList.add("Expect:");
  // A request built without a User-Agent header still names the agent, through libcurl,
  // which tells the proxy as well.
  const bool namesAgent = std::any_of(request.headers.begin(), request.headers.end(),
                                      [](const auto& header) { return equalsIgnoringCase(header.first, "User-Agent"); });
  const std::string agent(AgentVersion::httpUserAgent);

  const long timeoutMs = std::max(1L, std::lround(timeout_ * 1000));
  bool configured =
      // A URL libcurl cannot parse is left to it, to be refused in its own words.
      (url ? curl_easy_setopt(h, CURLOPT_CURLU, url)
           : curl_easy_setopt(h, CURLOPT_URL, request.url.c_str())) == CURLE_OK &&
      // Pinned, the verdict comes from PinnedTLS and curl only confirms it. No CA bundle
      // of curl's is loaded, so nothing but the chosen trust can vouch for a server.
      CurlOptions::verifiedHttpsOnly(h) &&
      (pinned_ ? curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, configurePinned) == CURLE_OK &&
                     curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &*pinned_) == CURLE_OK
               : curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, configureSystemStore) == CURLE_OK) &&
      // A resumed session would skip the pinned check.
      curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) == CURLE_OK &&
      // Decoded bytes are what the body limit counts, so a small compressed reply
      // cannot inflate past it.
      curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, request.decodeContent ? "" : nullptr) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.list) == CURLE_OK &&
      (namesAgent || curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str()) == CURLE_OK) &&
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collectBody) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &reception) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, collectHeader) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HEADERDATA, &reception) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, sendOnce) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_PREREQDATA, &sends) == CURLE_OK &&
      // The tunnel keeps TLS, and so the server check, end to end.
      CurlOptions::route(h, proxy) &&
      setMethodAndBody(h, request, upload);
  if (!configured) {
    return tl::unexpected(HTTPError::transport("cannot configure the HTTP session"));
  }

  if (pinned_) {
    pinned_->setExpectedHost(host);
    pinned_->takeRejection();
  }
  CURLcode code = curl_easy_perform(h);
  const bool cutErrorPage = code == CURLE_WRITE_ERROR && reception.stop == Reception::Stop::errorPageCut;
  if (code != CURLE_OK && !cutErrorPage) {
    std::string message;
    if (auto rejection = pinned_ ? pinned_->takeRejection() : std::nullopt) {
      message = *rejection;
    } else if (auto reason = reception.stopReason()) {
      message = *reason;
    } else if (long connectStatus = 0;
               proxy && curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &connectStatus) == CURLE_OK &&
               connectStatus >= 300) {
      message = describeRefusedTunnel(*proxy, hostAuthority(url, host), connectStatus);
    } else if (code == CURLE_ABORTED_BY_CALLBACK && sends > 1) {
      // Worded as curl words the same end of a fresh connection.
      message = "Empty reply from server";
    } else {
      message = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
    }
    return tl::unexpected(HTTPError::transport(message));
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status <= 0) return tl::unexpected(HTTPError::noResponse());
  response.status = static_cast<int>(status);
  return response;
}

}  // namespace vela
