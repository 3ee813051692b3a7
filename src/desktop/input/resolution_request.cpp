#include "desktop/input/resolution_request.h"

#include <limits>

#include "util/json_scanner.h"

namespace vela {

namespace {

// The member as an int, when it is an integer that fits.
std::optional<int> intMember(const JSONValue& message, std::string_view key) {
  const JSONValue* value = message[key];
  auto number = value == nullptr ? std::nullopt : value->intValue();
  if (!number || *number < std::numeric_limits<int>::min() ||
      *number > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*number);
}

}  // namespace

std::optional<ResolutionRequest> ResolutionRequest::decode(std::string_view bytes) {
  auto message = JSONScanner::parse(bytes);
  if (!message) return std::nullopt;
  return fromJSON(*message);
}

std::optional<ResolutionRequest> ResolutionRequest::decode(std::span<const std::uint8_t> bytes) {
  return decode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<ResolutionRequest> ResolutionRequest::fromJSON(const JSONValue& message) {
  const JSONValue* kind = message["t"];
  if (kind == nullptr || !kind->isString() || *kind->stringRef() != "res") return std::nullopt;
  auto width = intMember(message, "w");
  auto height = intMember(message, "h");
  if (!width || !height || *width < 1 || *height < 1) return std::nullopt;
  // An fps beyond 32 bits counts as "not an integer", like 30.5.
  return ResolutionRequest{*width, *height, intMember(message, "fps").value_or(kDefaultFps)};
}

}  // namespace vela
