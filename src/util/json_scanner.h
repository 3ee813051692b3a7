#pragma once

// JSONScanner reads a complete JSON document into a JSONValue in one forward pass over
// the bytes. It never throws and never recurses deeper than maxDepth containers, so
// hostile input yields a JSONParseError rather than a crash. Stateless for callers:
// `parse` is a static function and safe to call from any thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/agent_error.h"
#include "util/json_value.h"

namespace vela {

// Where and why a document was refused. Every case but unexpectedEnd carries the
// 0-based byte offset at which the problem was found.
class JSONParseError {
 public:
  enum class Kind {
    unexpectedCharacter,
    invalidNumber,
    invalidEscape,
    trailingData,
    tooDeep,
    unexpectedEnd,
  };

  static JSONParseError unexpectedCharacter(std::size_t offset) {
    return {Kind::unexpectedCharacter, offset};
  }
  static JSONParseError invalidNumber(std::size_t offset) { return {Kind::invalidNumber, offset}; }
  static JSONParseError invalidEscape(std::size_t offset) { return {Kind::invalidEscape, offset}; }
  static JSONParseError trailingData(std::size_t offset) { return {Kind::trailingData, offset}; }
  static JSONParseError tooDeep(std::size_t offset) { return {Kind::tooDeep, offset}; }
  static JSONParseError unexpectedEnd() { return {Kind::unexpectedEnd, 0}; }

  Kind kind() const { return kind_; }
  std::size_t offset() const { return offset_; }
  // The case with its offset, e.g. "unexpectedCharacter(6)" or "unexpectedEnd".
  std::string description() const;
  AgentError toAgentError() const { return AgentError(description()); }

  bool operator==(const JSONParseError&) const = default;

 private:
  JSONParseError(Kind kind, std::size_t offset) : kind_(kind), offset_(offset) {}
  Kind kind_;
  std::size_t offset_;
};

class JSONScanner {
 public:
  static constexpr int maxDepth = 128;

  static Result<JSONValue, JSONParseError> parse(std::span<const std::uint8_t> bytes);
  // Parses the text's bytes (UTF-8).
  static Result<JSONValue, JSONParseError> parse(std::string_view text);

 private:
  explicit JSONScanner(std::string_view bytes) : bytes_(bytes) {}

  // Each step reports failure by returning false after recording error_, which keeps
  // the hot path free of wrapped values.
  bool parseValue(int depth, JSONValue& out);
  bool parseObject(int depth, JSONValue& out);
  bool parseArray(int depth, JSONValue& out);
  // After a member or an element: ',' means more follow, `close` sets `done`.
  bool nextItem(char close, bool& done);
  bool parseString(std::string& out);
  bool parseUnicodeEscape(std::string& out);
  bool readHex4(std::uint32_t& value);
  bool parseLiteral(std::string_view word);
  void parseNumber(JSONValue& out);
  void skipWhitespace();
  bool fail(JSONParseError error);

  std::string_view bytes_;
  std::size_t i_ = 0;
  JSONParseError error_ = JSONParseError::unexpectedEnd();
  // Members and elements of the containers being parsed, innermost last. Each container
  // moves its own tail out at its closing bracket, so it is allocated exactly once.
  std::vector<JSONValue::Object::value_type> memberStack_;
  std::vector<JSONValue> elementStack_;
};

}  // namespace vela
