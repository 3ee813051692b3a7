#pragma once

// Parses a whole JSON document that a person may have written by hand (config.json, a
// provisioning document) and, when it does not parse, says where: "<name>: the data is
// not valid JSON (line 3, column 14: unexpected '}'; expected ':')". The explanation
// never quotes the text around the spot, which may hold a token. Stateless.

#include <string_view>

#include <nlohmann/json.hpp>

#include "util/agent_error.h"

namespace vela::JSONDocument {

Result<nlohmann::json> parse(std::string_view text, std::string_view name);

}  // namespace vela::JSONDocument
