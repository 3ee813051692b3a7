#include "config/filename_provisioning.h"

#include <array>
#include <cctype>

#include "util/base64.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"
#include "util/log.h"
#include "util/process_info.h"
#include "util/url.h"
#include "util/utf8.h"

extern char** environ;

namespace vela::FilenameProvisioning {
namespace {

constexpr std::array<std::string_view, 8> kStrippableExtensions = {"pkg", "app", "bin", "dmg",
                                                                    "zip", "tar", "gz",  "run"};

enum class Setting { tenant, customer, server, token, channel };

struct Vocabulary {
  Setting setting;
  std::vector<std::string_view> readableKeys;
  std::string_view blobShortKey;
  std::string_view blobLongKey;
  std::vector<const char*> environment;
};

// Lookup order matters: the first setting whose readable keys match wins.
const std::array<Vocabulary, 5>& vocabulary() {
  static const std::array<Vocabulary, 5> table = {{
      {Setting::tenant, {"tenant", "tenantid", "tid"}, "t", "tenant", {"VELA_TENANT", "VELA_TENANT_ID"}},
      {Setting::customer,
       {"customer", "cust", "cid", "site", "siteid"},
       "c",
       "customer",
       {"VELA_CUSTOMER", "VELA_CUSTOMER_ID"}},
      {Setting::server, {"server", "srv", "host", "url"}, "s", "server", {"VELA_SERVER", "VELA_SERVER_URL"}},
      {Setting::token,
       {"token", "tok", "enroll", "enrolltoken"},
       "k",
       "token",
       {"VELA_TOKEN", "VELA_ENROLL_TOKEN"}},
      {Setting::channel, {"channel", "chan"}, "ch", "channel", {"VELA_CHANNEL"}},
  }};
  return table;
}

std::optional<std::string>& field(ProvisioningInfo& info, Setting setting) {
  switch (setting) {
    case Setting::tenant: return info.tenantID;
    case Setting::customer: return info.customerID;
    case Setting::server: return info.serverBaseURL;
    case Setting::token: return info.enrollmentToken;
    case Setting::channel: return info.channel;
  }
  return info.channel;
}

// Servers always pass through normalizeServer, whichever convention carried them.
void assign(ProvisioningInfo& info, Setting setting, std::optional<std::string> value) {
  field(info, setting) = setting == Setting::server ? normalizeServer(value) : std::move(value);
}

std::string lowercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string_view> splitAll(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + separator.size());
  }
}

// The extension after the last dot; a leading dot alone (".pkg") is a hidden name.
std::optional<std::string_view> pathExtension(std::string_view name) {
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return std::nullopt;
  return name.substr(dot + 1);
}

}  // namespace

std::optional<std::string> normalizeServer(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string server(UTF8::trimWhitespace(*text));
  if (server.empty()) return std::nullopt;
  if (server.find("://") != std::string::npos) {
    if (!lowercased(server).starts_with("https://")) {
      Log::warn("refusing non-https server URL '" + server + "' (only https is allowed)");
      return std::nullopt;
    }
  } else {
    server = "https://" + server;
  }
  while (server.ends_with('/')) server.pop_back();
  return server;
}

std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  if (path == "/") return "/";
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string stripExtensions(std::string_view name) {
  for (int round = 0; round < 2; ++round) {
    auto ext = pathExtension(name);
    if (!ext) break;
    std::string lower = lowercased(*ext);
    bool strippable = false;
    for (auto candidate : kStrippableExtensions) strippable = strippable || candidate == lower;
    if (!strippable) break;
    name.remove_suffix(ext->size() + 1);
  }
  return std::string(name);
}

std::optional<std::pair<std::string, std::string>> splitKeyValue(std::string_view segment) {
  for (char separator : {'=', ':', '-'}) {
    auto at = segment.find(separator);
    if (at == std::string_view::npos) continue;
    std::string_view key = segment.substr(0, at);
    std::string_view value = segment.substr(at + 1);
    if (!key.empty() && !value.empty()) return std::pair{std::string(key), std::string(value)};
  }
  return std::nullopt;
}

ProvisioningInfo parseReadable(std::string_view name) {
  std::string_view separator = name.find("__") != std::string_view::npos ? "__" : "_";
  ProvisioningInfo info;
  for (std::string_view segment : splitAll(name, separator)) {
    auto pair = splitKeyValue(segment);
    if (!pair) continue;
    std::string key = lowercased(pair->first);
    for (const Vocabulary& entry : vocabulary()) {
      bool matches = false;
      for (auto candidate : entry.readableKeys) matches = matches || candidate == key;
      if (!matches) continue;
      assign(info, entry.setting, pair->second);
      break;
    }
  }
  info.source = info.isEmpty() ? "" : ProvisioningInfo::kFilename;
  return info;
}

ProvisioningInfo parse(std::string_view path) {
  std::string name = stripExtensions(lastPathComponent(path));
  if (auto blob = parseBlob(name)) return *blob;
  return parseReadable(name);
}

ProvisioningInfo parseSelf(const std::optional<std::string>& argv0) {
  const std::string& firstArgument = ProcessInfo::programPath();
  std::string primary = ProcessInfo::executablePath();
  if (primary.empty()) primary = firstArgument;

  std::string producer = primary;
  ProvisioningInfo info = parse(primary);
  if (info.isEmpty()) {
    std::string candidate = argv0 ? *argv0 : firstArgument;
    if (candidate.empty() || candidate == primary) return info;
    info = parse(candidate);
    producer = candidate;
  }
  if (!info.isEmpty()) info.source = ProvisioningInfo::selfSource(lastPathComponent(producer));
  return info;
}

ProvisioningInfo fromEnvironment(const Environment& environment) {
  ProvisioningInfo info;
  for (const Vocabulary& entry : vocabulary()) {
    for (const char* variable : entry.environment) {
      auto it = environment.find(variable);
      if (it == environment.end()) continue;
      assign(info, entry.setting, it->second);
      break;
    }
  }
  info.source = info.isEmpty() ? "" : ProvisioningInfo::kEnvironment;
  return info;
}

Environment processEnvironment() {
  Environment environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text = *entry;
    auto eq = text.find('=');
    if (eq == std::string_view::npos) continue;
    environment.emplace(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
  }
  return environment;
}

std::optional<ProvisioningInfo> parseBlob(std::string_view name) {
  std::vector<std::string_view> candidates;
  for (std::string_view part : splitAll(name, "__")) {
    for (std::string_view piece : splitAll(part, ".")) {
      if (!piece.empty()) candidates.push_back(piece);
    }
  }
  for (std::string_view candidate : candidates) {
    // Shorter pieces are ordinary words; the smallest object worth carrying is longer.
    if (candidate.size() < 12) continue;
    auto bytes = Base64::decodeURL(candidate);
    if (!bytes || bytes->empty() || bytes->front() != '{') continue;
    auto value = JSONScanner::parse(*bytes);
    if (!value) continue;
    ProvisioningInfo info;
    for (const Vocabulary& entry : vocabulary()) {
      const std::string* member = value->stringAt(entry.blobShortKey);
      if (!member) member = value->stringAt(entry.blobLongKey);
      if (member) assign(info, entry.setting, *member);
    }
    if (info.isEmpty()) continue;
    info.source = ProvisioningInfo::kFilenameBlob;
    return info;
  }
  return std::nullopt;
}

std::string encodeBlobFilename(std::string_view prefix, std::string_view ext,
                               const std::optional<std::string>& tenantID,
                               const std::optional<std::string>& customerID,
                               const std::optional<std::string>& serverBaseURL,
                               const std::optional<std::string>& enrollmentToken,
                               const std::optional<std::string>& channel) {
  JSONValue object = JSONValue::object();
  auto put = [&object](std::string_view key, const std::optional<std::string>& value) {
    if (value) object.set(std::string(key), *value);
  };
  put("t", tenantID);
  put("c", customerID);
  put("s", serverBaseURL);
  put("k", enrollmentToken);
  put("ch", channel);
  std::string name = std::string(prefix) + "." + Base64::encodeURL(CanonicalJSON::encodeData(object));
  if (!ext.empty()) {
    name += '.';
    name += ext;
  }
  return name;
}

std::string encodeReadableFilename(std::string_view prefix, std::string_view ext,
                                   const std::optional<std::string>& tenantID,
                                   const std::optional<std::string>& customerID,
                                   const std::optional<std::string>& serverBaseURL,
                                   const std::optional<std::string>& channel) {
  std::string name(prefix);
  auto add = [&name](std::string_view key, const std::optional<std::string>& value) {
    if (value) name += "__" + std::string(key) + "-" + *value;
  };
  add("tenant", tenantID);
  add("customer", customerID);
  if (serverBaseURL) {
    auto url = URL::parse(*serverBaseURL);
    if (url && !url->host.empty()) add("server", url->host);
  }
  add("channel", channel);
  if (!ext.empty()) {
    name += '.';
    name += ext;
  }
  return name;
}

}  // namespace vela::FilenameProvisioning
