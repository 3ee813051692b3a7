#include "quickassist/qa_http.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

#include "net/curl_global.h"
#include "net/curl_options.h"
#include "net/proxy_rule.h"
#include "util/agent_version.h"
#include "util/server_value.h"
#include "util/url.h"

namespace vela::QAHttp {
namespace {

constexpr long kTimeoutMs = 60'000;

struct Reply {
  std::string body;
  bool overflow = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* reply = static_cast<Reply*>(user);
  std::size_t bytes = size * count;
  if (reply->body.size() + bytes > kMaxReplyBytes) {
    reply->overflow = true;
    return 0;
  }
  reply->body.append(data, bytes);
  return bytes;
}

CURLcode systemTrust(CURL*, void* context, void*) {
  // The default paths honour SSL_CERT_FILE / SSL_CERT_DIR; curl's own bundle is off.
  return SSL_CTX_set_default_verify_paths(static_cast<SSL_CTX*>(context)) == 1 ? CURLE_OK
                                                                                : CURLE_SSL_CACERT_BADFILE;
}

struct CurlFree {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct ListFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

bool isHTTPS(const std::string& url) {
  auto parsed = URL::parse(url);
  return parsed && parsed->scheme == "https";
}

struct URLFree {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

// The name a header is refused under, cut short: it came from the network.
std::string quoted(std::string_view name) {
  constexpr std::size_t kShown = 64;
  std::string text(1, '"');
  text.append(name.substr(0, kShown));
  if (name.size() > kShown) text.append("…");
  text.push_back('"');
  return text;
}

Result<Response> perform(const std::string& url, const Headers& headers,
                         const std::function<bool(CURL*)>& configure) {
  for (const auto& [name, value] : headers) VELA_TRY_VOID(checkHeader(name, value));
  // libcurl's own parse names the host, so the route is decided for the host it dials.
  std::unique_ptr<CURLU, URLFree> target(curl_url());
  char* hostText = nullptr;
  if (!target || curl_url_set(target.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(target.get(), CURLUPART_HOST, &hostText, 0) != CURLUE_OK) {
    return fail("cannot parse " + url);
  }
  std::string host(hostText);
  curl_free(hostText);
  auto route = ProxyRule::fromEnvironment().routeFor(host);
  if (!route) return fail(route.error().message);
  const std::optional<Proxy>& proxy = *route;

  ensureCurlInitialised();
  std::unique_ptr<CURL, CurlFree> handle(curl_easy_init());
  if (!handle) return fail("cannot create an HTTP session");
  CURL* h = handle.get();
  std::unique_ptr<curl_slist, ListFree> list;
  for (const auto& [name, value] : headers) {
    curl_slist* next = curl_slist_append(list.get(), (name + ": " + value).c_str());
    if (!next) return fail("cannot build the request headers");
    (void)list.release();
    list.reset(next);
  }
  Reply reply;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  std::string agent = "vela-agent/" + std::string(AgentVersion::current) + " (Linux)";
  // Any option left unset would weaken the request (a protocol, the server check, the
  // route), so one refused option refuses the request.
  bool configured =
      curl_easy_setopt(h, CURLOPT_CURLU, target.get()) == CURLE_OK &&
      CurlOptions::verifiedHttpsOnly(h) &&
      curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, systemTrust) == CURLE_OK &&
      CurlOptions::route(h, proxy) &&
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, kTimeoutMs) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK && configure(h);
  if (!configured) return fail("cannot configure the HTTP session for " + url);
  CURLcode code = curl_easy_perform(h);
  if (reply.overflow) return fail("reply larger than " + std::to_string(kMaxReplyBytes) + " bytes");
  if (code != CURLE_OK) {
    long connectStatus = 0;
    if (proxy && curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &connectStatus) == CURLE_OK &&
        connectStatus >= 300) {
      URL authority = URL::parse(url).value_or(URL{});
      authority.port = authority.port.value_or(443);
      return fail(describeRefusedTunnel(*proxy, authority.authority(), connectStatus));
    }
    return fail(*errorBuffer ? std::string(errorBuffer) : curl_easy_strerror(code));
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) return fail("no response");
  return Response{status, std::move(reply.body)};
}

}  // namespace

Result<void> checkHeader(std::string_view name, std::string_view value) {
  constexpr std::string_view kSeparators = "\"(),/:;<=>?@[\\]{}";
  if (!ServerValue::isPrintableWord(name, ServerValue::kMaxIdentifierLength) ||
      name.find_first_of(kSeparators) != std::string_view::npos) {
    return fail("refusing header " + quoted(name) + ": not a valid HTTP header name");
  }
  // Headers that frame or route the request are libcurl's to write: a server's value
  // there could make the body disagree with its length, pick another virtual host or
  // hand something to the proxy.
  static constexpr std::string_view kFraming[] = {"host", "content-length", "transfer-encoding", "connection",
                                                  "expect", "te", "upgrade", "keep-alive", "trailer"};
  std::string lower(name);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (std::ranges::find(kFraming, lower) != std::end(kFraming) || lower.starts_with("proxy-")) {
    return fail("refusing header " + quoted(name) + ": it is the connection's own");
  }
  // The value is never quoted back: a presigned upload's headers may carry a signature.
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  bool valid = !value.empty() && value.size() <= ServerValue::kMaxTokenLength &&
               !blank(value.front()) && !blank(value.back()) &&
               std::all_of(value.begin(), value.end(),
                           [&](char c) { return (c >= '!' && c <= '~') || blank(c); });
  if (!valid)
    return fail("refusing header " + quoted(name) + ": its value is not a valid HTTP header value");
  return {};
}

Result<Response> postJSON(const std::string& url, const std::string& body, const Headers& headers) {
  if (!isHTTPS(url)) return fail("refusing non-https " + url);
  Headers all = headers;
  all["Content-Type"] = "application/json";
  all["Accept"] = "application/json";
  return perform(url, all, [&body](CURL* h) {
    auto size = static_cast<curl_off_t>(body.size());
    return curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, size) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str()) == CURLE_OK;
  });
}

Result<Response> putFile(const std::string& url, const std::string& path, const Headers& headers) {
  if (!isHTTPS(url)) return fail("refusing non-https " + url);
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "rb"));
  if (!file) return fail("cannot read " + path);
  std::fseek(file.get(), 0, SEEK_END);
  long size = std::ftell(file.get());
  std::fseek(file.get(), 0, SEEK_SET);
  if (size < 0) return fail("cannot read " + path);
  return perform(url, headers, [&](CURL* h) {
    return curl_easy_setopt(h, CURLOPT_UPLOAD, 1L) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_READDATA, file.get()) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size)) == CURLE_OK;
  });
}

}  // namespace vela::QAHttp
