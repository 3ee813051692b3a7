#include "net/proxy_rule.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <memory>

#include <curl/curl.h>

#include "util/log.h"
#include "util/mutex.h"
#include "util/url.h"
#include "util/utf8.h"

namespace vela {
namespace {

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string_view withoutBrackets(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

struct Address {
  int family = 0;
  std::array<unsigned char, 16> bytes{};
  int bits() const { return family == AF_INET ? 32 : 128; }
};

std::optional<Address> parseAddress(std::string_view text) {
  std::string copy(withoutBrackets(text));
  Address address;
  for (int family : {AF_INET, AF_INET6}) {
    if (inet_pton(family, copy.c_str(), address.bytes.data()) == 1) {
      address.family = family;
      return address;
    }
  }
  return std::nullopt;
}

bool sameNetwork(const Address& a, const Address& b, int prefix) {
  if (a.family != b.family || prefix < 0 || prefix > a.bits()) return false;
  int whole = prefix / 8;
  if (!std::equal(a.bytes.begin(), a.bytes.begin() + whole, b.bytes.begin())) return false;
  int rest = prefix % 8;
  if (rest == 0) return true;
  unsigned mask = (0xFFu << (8 - rest)) & 0xFFu;
  return (a.bytes[whole] & mask) == (b.bytes[whole] & mask);
}

bool entryCovers(std::string_view entry, std::string_view host, const std::optional<Address>& address) {
  if (address) {
    auto slash = entry.find('/');
    auto network = parseAddress(entry.substr(0, slash));
    if (network) {
      if (slash == std::string_view::npos) return sameNetwork(*network, *address, network->bits());
      std::string prefix(entry.substr(slash + 1));
      char* end = nullptr;
      long bits = std::strtol(prefix.c_str(), &end, 10);
      return !prefix.empty() && *end == '\0' && sameNetwork(*network, *address, static_cast<int>(bits));
    }
  }
  while (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  while (!entry.empty() && entry.back() == '.') entry.remove_suffix(1);
  if (entry.empty()) return false;
  std::string name = lowered(entry);
  if (host == name) return true;
  return host.size() > name.size() && host.ends_with(name) && host[host.size() - name.size() - 1] == '.';
}

struct URLFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::optional<std::string> part(CURLU* url, CURLUPart which) {
  char* value = nullptr;
  if (curl_url_get(url, which, &value, 0) != CURLUE_OK || !value) return std::nullopt;
  std::string text(value);
  curl_free(value);
  return text;
}

Mutex warnedMutex;
std::string lastWarned GUARDED_BY(warnedMutex);

// One warning per distinct broken value, however many connections trip over it.
void warnOnce(const std::string& message) {
  {
    MutexLock lock(warnedMutex);
    if (lastWarned == message) return;
    lastWarned = message;
  }
  Log::warn(message);
}

std::optional<std::string> firstSet(const ProxyRule::Lookup& lookup, std::initializer_list<const char*> names,
                                    std::string* found) {
  for (const char* name : names) {
    auto value = lookup(name);
    if (value && !UTF8::trimWhitespace(*value).empty()) {
      *found = name;
      return value;
    }
  }
  return std::nullopt;
}

}  // namespace

Result<Proxy> ProxyRule::parse(const std::string& variable, std::string_view value) {
  // The value itself is never quoted back: it may hold a password.
  const std::string malformed = "proxy variable " + variable + " is malformed";
  std::string text(UTF8::trimWhitespace(value));
  auto schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos) {
    text = "http://" + text;
  } else if (std::string scheme = lowered(text.substr(0, schemeEnd)); scheme != "http") {
    return fail("proxy variable " + variable + " names a " + scheme +
                ":// proxy; only http:// proxies are supported, so connections it covers are refused");
  }
  std::unique_ptr<CURLU, URLFree> url(curl_url());
  if (!url) return fail("cannot parse proxy variable " + variable);
  if (CURLUcode code = curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0); code != CURLUE_OK) {
    return fail(malformed + " (" + curl_url_strerror(code) + "); connections it covers are refused");
  }
  std::string path = part(url.get(), CURLUPART_PATH).value_or("/");
  std::optional<std::string> host = part(url.get(), CURLUPART_HOST);
  if (!host || host->empty() || (path != "/" && !path.empty()) || part(url.get(), CURLUPART_QUERY)) {
    return fail(malformed + " (expected http://[user:password@]host[:port]); connections it covers are refused");
  }
  URL display;
  display.scheme = "http";
  display.host = std::string(withoutBrackets(*host));
  // libcurl's own default for a proxy without a port.
  display.port = std::atoi(part(url.get(), CURLUPART_PORT).value_or("1080").c_str());

  Proxy proxy;
  proxy.url = text;
  proxy.displayURL = "http://" + display.authority();
  proxy.hasCredentials = part(url.get(), CURLUPART_USER).has_value();
  proxy.variable = variable;
  return proxy;
}

bool ProxyRule::exempts(std::string_view noProxy, std::string_view host) {
  std::string name = lowered(withoutBrackets(host));
  while (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) return false;
  std::optional<Address> address = parseAddress(name);
  std::size_t at = 0;
  while (at < noProxy.size()) {
    std::size_t end = noProxy.find_first_of(", \t", at);
    if (end == std::string_view::npos) end = noProxy.size();
    std::string_view entry = noProxy.substr(at, end - at);
    at = end + 1;
    if (entry == "*") return true;
    if (!entry.empty() && entryCovers(entry, name, address)) return true;
  }
  return false;
}

ProxyRule ProxyRule::fromLookup(const Lookup& lookup) {
  ProxyRule rule;
  std::string variable;
  std::optional<std::string> value = firstSet(lookup, {"https_proxy", "HTTPS_PROXY"}, &variable);
  if (!value) value = firstSet(lookup, {"all_proxy", "ALL_PROXY"}, &variable);
  if (value) rule.proxy_ = parse(variable, *value);
  std::string ignored;
  rule.noProxy_ = firstSet(lookup, {"no_proxy", "NO_PROXY"}, &ignored).value_or("");
  return rule;
}

ProxyRule ProxyRule::fromEnvironment() {
  ProxyRule rule = fromLookup([](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
  });
  if (rule.proxy_ && !*rule.proxy_) warnOnce(rule.proxy_->error().message);
  return rule;
}

Result<std::optional<Proxy>> ProxyRule::proxy() const {
  if (!proxy_) return std::nullopt;
  if (!*proxy_) return tl::unexpected(proxy_->error());
  return **proxy_;
}

Result<std::optional<Proxy>> ProxyRule::routeFor(std::string_view host) const {
  if (!proxy_ || exempts(noProxy_, host)) return std::nullopt;
  return proxy();
}

std::string describeRefusedTunnel(const Proxy& proxy, std::string_view target, long status) {
  std::string text = "proxy " + proxy.displayURL + " refused the tunnel to " + std::string(target) +
                     ": CONNECT " + std::to_string(status);
  if (status == 407) {
    text += proxy.hasCredentials ? " (proxy authentication failed: check the credentials in " +
                                       proxy.variable + ")"
                                 : " (proxy authentication required: put user:password@ in " +
                                       proxy.variable + ")";
  }
  return text;
}

}  // namespace vela
