#pragma once

// JSONDocument reads a whole JSON text strictly: RFC 8259 grammar, well-formed UTF-8,
// escaped control characters, numbers that fit a double. It reads the agent's own files
// (config.json, replay.json), documents a person may have written by hand (provisioning)
// and the control plane's replies; the wire frames go through the faster JSONScanner.
// A refusal says where, as an editor counts: "the data is not valid JSON (line 3,
// column 14: unexpected '}'; expected ':')"; it never quotes the text around the spot,
// which may hold a token. Of equal keys the last one wins. A byte 0 outside a string
// ends the text (files padded with zeros by a crash read as what precedes them).
// Stateless; safe from any thread.

#include <optional>
#include <string>
#include <string_view>

#include "util/agent_error.h"
#include "util/json_value.h"
#include "util/text_position.h"

namespace vela {

struct JSONDocumentError {
  // Where the reader stopped; absent for a number beyond the range of a double, which
  // is found only after the whole number was read.
  std::optional<TextPosition> at;
  // "unexpected '}'; expected ':'", "invalid literal", "a number is out of range".
  std::string reason;

  // "the data is not valid JSON (line 1, column 2: unexpected ','; expected string literal)"
  std::string description() const;
  bool operator==(const JSONDocumentError&) const = default;
};

namespace JSONDocument {

// Containers nested deeper than this are refused: no document the agent reads comes
// close, and freeing a deeper tree could exhaust a thread's stack.
inline constexpr int kMaxDepth = 512;

Result<JSONValue, JSONDocumentError> read(std::string_view text);

// As read(), with the failure prefixed by `name`: "config.json: the data is not valid
// JSON (...)".
Result<JSONValue> parse(std::string_view text, std::string_view name);

}  // namespace JSONDocument
}  // namespace vela
