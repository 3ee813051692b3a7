#include "util/json_scanner.h"

#include <iterator>

#include "util/utf8.h"

namespace vela {
namespace {

bool isWhitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

int hexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string JSONParseError::description() const {
  const char* name = "";
  switch (kind_) {
    case Kind::unexpectedCharacter: name = "unexpectedCharacter"; break;
    case Kind::invalidNumber: name = "invalidNumber"; break;
    case Kind::invalidEscape: name = "invalidEscape"; break;
    case Kind::trailingData: name = "trailingData"; break;
    case Kind::tooDeep: name = "tooDeep"; break;
    case Kind::unexpectedEnd: return "unexpectedEnd";
  }
  return std::string(name) + "(" + std::to_string(offset_) + ")";
}

Result<JSONValue, JSONParseError> JSONScanner::parse(std::span<const std::uint8_t> bytes) {
  return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Result<JSONValue, JSONParseError> JSONScanner::parse(std::string_view text) {
  JSONScanner scanner(text);
  JSONValue value;
  scanner.skipWhitespace();
  if (!scanner.parseValue(0, value)) return tl::unexpected(scanner.error_);
  scanner.skipWhitespace();
  if (scanner.i_ < text.size()) return tl::unexpected(JSONParseError::trailingData(scanner.i_));
  return value;
}

bool JSONScanner::fail(JSONParseError error) {
  error_ = error;
  return false;
}

void JSONScanner::skipWhitespace() {
  while (i_ < bytes_.size() && isWhitespace(static_cast<unsigned char>(bytes_[i_]))) ++i_;
}

bool JSONScanner::parseValue(int depth, JSONValue& out) {
  if (depth > maxDepth) return fail(JSONParseError::tooDeep(i_));
  skipWhitespace();
  if (i_ >= bytes_.size()) return fail(JSONParseError::unexpectedEnd());
  unsigned char c = static_cast<unsigned char>(bytes_[i_]);
  switch (c) {
    case '{':
      return parseObject(depth, out);
    case '[':
      return parseArray(depth, out);
    case '"': {
      std::string text;
      if (!parseString(text)) return false;
      out = JSONValue(std::move(text));
      return true;
    }
    case 't':
      if (!parseLiteral("true")) return false;
      out = JSONValue(true);
      return true;
    case 'f':
      if (!parseLiteral("false")) return false;
      out = JSONValue(false);
      return true;
    case 'n':
      if (!parseLiteral("null")) return false;
      out = JSONValue(nullptr);
      return true;
    default:
      if (c == '-' || isDigit(c)) {
        parseNumber(out);
        return true;
      }
      return fail(JSONParseError::unexpectedCharacter(i_));
  }
}

bool JSONScanner::parseObject(int depth, JSONValue& out) {
  ++i_;  // '{'
  skipWhitespace();
  if (i_ < bytes_.size() && bytes_[i_] == '}') {
    ++i_;
    out = JSONValue::object();
    return true;
  }
  const std::size_t base = memberStack_.size();
  std::string key;
  for (bool done = false; !done;) {
    skipWhitespace();
    if (i_ >= bytes_.size() || bytes_[i_] != '"') return fail(JSONParseError::unexpectedCharacter(i_));
    if (!parseString(key)) return false;
    skipWhitespace();
    if (i_ >= bytes_.size() || bytes_[i_] != ':') return fail(JSONParseError::unexpectedCharacter(i_));
    ++i_;
    // Parsed into a local: the recursion may grow the stack and move its elements.
    JSONValue value;
    if (!parseValue(depth + 1, value)) return false;
    memberStack_.emplace_back(std::move(key), std::move(value));
    if (!nextItem('}', done)) return false;
  }
  auto first = memberStack_.begin() + static_cast<std::ptrdiff_t>(base);
  std::vector<JSONValue::Object::value_type> members(std::make_move_iterator(first),
                                                     std::make_move_iterator(memberStack_.end()));
  memberStack_.erase(first, memberStack_.end());
  // Sorting also settles duplicates: the later member replaces the earlier one.
  out = JSONValue::Object::fromUnordered(std::move(members));
  return true;
}

bool JSONScanner::nextItem(char close, bool& done) {
  skipWhitespace();
  if (i_ >= bytes_.size() || (bytes_[i_] != ',' && bytes_[i_] != close)) {
    return fail(JSONParseError::unexpectedCharacter(i_));
  }
  done = bytes_[i_++] == close;
  return true;
}

bool JSONScanner::parseArray(int depth, JSONValue& out) {
  ++i_;  // '['
  skipWhitespace();
  if (i_ < bytes_.size() && bytes_[i_] == ']') {
    ++i_;
    out = JSONValue::array();
    return true;
  }
  const std::size_t base = elementStack_.size();
  for (bool done = false; !done;) {
    JSONValue element;
    if (!parseValue(depth + 1, element)) return false;
    elementStack_.push_back(std::move(element));
    if (!nextItem(']', done)) return false;
  }
  auto first = elementStack_.begin() + static_cast<std::ptrdiff_t>(base);
  JSONValue::Array elements(std::make_move_iterator(first), std::make_move_iterator(elementStack_.end()));
  elementStack_.erase(first, elementStack_.end());
  out = JSONValue(std::move(elements));
  return true;
}

bool JSONScanner::parseString(std::string& out) {
  ++i_;  // opening quote
  out.clear();
  const char* data = bytes_.data();
  const std::size_t size = bytes_.size();
  unsigned char seen = 0;  // OR of all bytes: tells whether any non-ASCII byte occurred
  for (;;) {
    std::size_t j = i_;
    while (j < size) {
      unsigned char c = static_cast<unsigned char>(data[j]);
      if (c == '"' || c == '\\') break;
      seen |= c;
      ++j;
    }
    out.append(data + i_, j - i_);
    i_ = j;
    if (i_ >= size) return fail(JSONParseError::unexpectedEnd());
    if (data[i_] == '"') {
      ++i_;
      break;
    }
    ++i_;  // backslash
    if (i_ >= size) return fail(JSONParseError::unexpectedEnd());
    char escape = data[i_++];
    switch (escape) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u':
        if (!parseUnicodeEscape(out)) return false;
        break;
      default:
        return fail(JSONParseError::invalidEscape(i_));
    }
  }
  // Escapes only ever append well-formed sequences, so raw bytes are the only source
  // of ill-formed ones.
  if (seen & 0x80) UTF8::repair(out);
  return true;
}

bool JSONScanner::readHex4(std::uint32_t& value) {
  value = 0;
  for (int k = 0; k < 4; ++k) {
    if (i_ >= bytes_.size()) return fail(JSONParseError::unexpectedEnd());
    int digit = hexDigit(static_cast<unsigned char>(bytes_[i_++]));
    if (digit < 0) return fail(JSONParseError::invalidEscape(i_));
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return true;
}

bool JSONScanner::parseUnicodeEscape(std::string& out) {
  std::uint32_t unit;
  if (!readHex4(unit)) return false;
  std::uint32_t scalar = unit;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (i_ + 1 >= bytes_.size() || bytes_[i_] != '\\' || bytes_[i_ + 1] != 'u') {
      return fail(JSONParseError::invalidEscape(i_));
    }
    i_ += 2;
    std::uint32_t low;
    if (!readHex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail(JSONParseError::invalidEscape(i_));
    scalar = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
    scalar = 0xFFFD;
  }
  UTF8::appendScalar(out, scalar);
  return true;
}

bool JSONScanner::parseLiteral(std::string_view word) {
  for (char expected : word) {
    if (i_ >= bytes_.size() || bytes_[i_] != expected) {
      return fail(JSONParseError::unexpectedCharacter(i_));
    }
    ++i_;
  }
  return true;
}

void JSONScanner::parseNumber(JSONValue& out) {
  // Permissive on purpose: the text is kept verbatim and judged only by a reader that
  // asks for an integer or a double. The dispatch guarantees at least one byte.
  const std::size_t start = i_;
  const std::size_t size = bytes_.size();
  auto digits = [&] {
    while (i_ < size && isDigit(static_cast<unsigned char>(bytes_[i_]))) ++i_;
  };
  if (bytes_[i_] == '-') ++i_;
  digits();
  if (i_ < size && bytes_[i_] == '.') {
    ++i_;
    digits();
  }
  if (i_ < size && (bytes_[i_] == 'e' || bytes_[i_] == 'E')) {
    ++i_;
    if (i_ < size && (bytes_[i_] == '+' || bytes_[i_] == '-')) ++i_;
    digits();
  }
  out = JSONValue::number(std::string(bytes_.substr(start, i_ - start)));
}

}  // namespace vela
