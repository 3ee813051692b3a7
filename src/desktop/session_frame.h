#pragma once

// The outer shape every gateway session frame shares, shells and desktops alike.

#include <optional>
#include <string>
#include <string_view>

#include "util/json_value.h"

namespace vela {

struct SessionFrame {
  JSONValue root;
  std::string type;
  std::string sessionID;

  // Nothing for malformed JSON, a non-object, or a missing or non-string `type` or
  // `session_id`.
  static std::optional<SessionFrame> parse(std::string_view text);
};

}  // namespace vela
