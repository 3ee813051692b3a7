#include "quickassist/qa_http.h"

#include <algorithm>
#include <cctype>

#include "net/http_client.h"
#include "util/server_value.h"
#include "util/url.h"

namespace vela::QAHttp {
namespace {

constexpr double kTimeoutSeconds = 60;

// The name a header is refused under, cut short: it came from the network.
std::string quoted(std::string_view name) {
  constexpr std::size_t kShown = 64;
  std::string text(1, '"');
  text.append(name.substr(0, kShown));
  if (name.size() > kShown) text.append("…");
  text.push_back('"');
  return text;
}

Result<Response> send(HTTPClient::Request request) {
  auto parsed = URL::parse(request.url);
  if (!parsed || parsed->scheme != "https") return fail("refusing non-https " + request.url);
  for (const auto& [name, value] : request.headers) VELA_TRY_VOID(checkHeader(name, value));
  request.maxBodyBytes = kMaxReplyBytes;
  // No Accept-Encoding: the bytes are taken as they are sent.
  request.decodeContent = false;
  // A client of its own per request, so each goes on a fresh connection (and tunnel):
  // a session makes only a few, minutes apart.
  HTTPClient client(SystemTrustStore{}, kTimeoutSeconds);
  auto reply = client.send(request);
  if (!reply) {
    return fail(reply.error().kind() == HTTPError::Kind::noResponse ? "no response" : reply.error().message());
  }
  return Response{reply->status, std::string(reply->body.begin(), reply->body.end())};
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
  HTTPClient::Request request;
  request.method = "POST";
  request.url = url;
  request.headers = headers;
  request.headers["Content-Type"] = "application/json";
  request.headers["Accept"] = "application/json";
  request.body.assign(body.begin(), body.end());
  return send(std::move(request));
}

Result<Response> putFile(const std::string& url, const std::string& path, const Headers& headers) {
  HTTPClient::Request request;
  request.method = "PUT";
  request.url = url;
  request.headers = headers;
  request.bodyFile = path;
  return send(std::move(request));
}

}  // namespace vela::QAHttp
