#include "config/json_document.h"

#include <string>

#include "util/text_position.h"

namespace vela::JSONDocument {
namespace {

// The parser's message without its own position prefix and without the "last read"
// excerpt of the input, e.g. "unexpected '}'; expected ':'".
std::string explanation(std::string message) {
  const auto dash = message.find(" - ");
  if (dash == std::string::npos) return "unexpected data";
  message.erase(0, dash + 3);
  constexpr std::string_view kLastRead = "; last read: '";
  if (auto at = message.find(kLastRead); at != std::string::npos) {
    const auto expected = message.rfind("'; expected ");
    if (expected != std::string::npos && expected >= at + kLastRead.size()) {
      message.erase(at, expected + 1 - at);
    } else {
      message.erase(at);
    }
  }
  return message;
}

}  // namespace

Result<nlohmann::json> parse(std::string_view text, std::string_view name) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    // `byte` counts the characters read, the offending one included.
    const TextPosition at = TextPosition::of(text, error.byte > 0 ? error.byte - 1 : 0);
    return fail(std::string(name) + ": the data is not valid JSON (line " + std::to_string(at.line) +
                ", column " + std::to_string(at.column) + ": " + explanation(error.what()) + ")");
  } catch (const nlohmann::json::exception&) {
    // A number too large for any type: the parser stops without saying where, and its
    // message would quote the file.
    return fail(std::string(name) + ": the data is not valid JSON (a number is out of range)");
  }
}

}  // namespace vela::JSONDocument
