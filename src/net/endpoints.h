#pragma once

// The URLs of the agent API under the configured server base URL. Paths are appended
// after the base's own path with exactly one "/" between; characters that may not
// appear in a URL path are percent-encoded. A value; thread-safe.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vela {

struct Endpoints {
  std::string base;

  std::string enroll() const;
  std::string telemetry() const;
  std::string commandsPoll() const;
  // "api/agent/commands/<id>/result"; a "/" inside the id stays a path separator unless
  // the id holds a "." or ".." segment, which could lead the result out of this path.
  std::string commandResult(const std::optional<std::string>& commandID) const;
  std::string updateCheck() const;
  std::string quickAssistJoin() const;
  std::string quickAssistPresign() const;

  // `base` with `relativePath` appended as path components.
  std::string url(std::string_view relativePath) const;

  // wss://<host of base>:8443/v1/agent/conn, or absent when base has no host.
  std::optional<std::string> gatewayURL() const;
};

// Text with every byte outside the URL path character set as %XX.
std::string percentEncodePath(std::string_view path);

// `url` with "?k=v&..." appended (or "&..." when it already has a query); names and
// values are percent-encoded as query components.
std::string appendQuery(const std::string& url,
                        const std::map<std::string, std::string>& parameters);

}  // namespace vela
