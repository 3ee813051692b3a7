#include "util/json_document.h"

#include <cmath>
#include <initializer_list>
#include <utility>
#include <vector>

#include "util/utf8.h"

namespace vela {
namespace {

enum class Token {
  beginArray,
  endArray,
  beginObject,
  endObject,
  nameSeparator,
  valueSeparator,
  literalTrue,
  literalFalse,
  literalNull,
  string,
  number,
  endOfInput,
  invalid,
  anyValue,  // only ever expected, never read
  none,      // nothing in particular expected
};

const char* tokenName(Token token) {
  switch (token) {
    case Token::beginArray: return "'['";
    case Token::endArray: return "']'";
    case Token::beginObject: return "'{'";
    case Token::endObject: return "'}'";
    case Token::nameSeparator: return "':'";
    case Token::valueSeparator: return "','";
    case Token::literalTrue: return "true literal";
    case Token::literalFalse: return "false literal";
    case Token::literalNull: return "null literal";
    case Token::string: return "string literal";
    case Token::number: return "number literal";
    case Token::endOfInput: return "end of input";
    case Token::anyValue: return "'[', '{', or a literal";
    case Token::invalid:  // described by the problem found instead
    case Token::none: break;
  }
  return "";
}

// What a raw control character inside a string must be written as instead.
std::string controlCharacterProblem(int c) {
  static constexpr const char* kNames[] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                           "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                           "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                           "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string code{'0', '0', kHex[c >> 4], kHex[c & 15]};
  std::string problem = "invalid string: control character U+";
  problem.append(code).append(" (").append(kNames[c]).append(") must be escaped to \\u").append(code);
  switch (c) {
    case '\b': return problem.append(" or \\b");
    case '\t': return problem.append(" or \\t");
    case '\n': return problem.append(" or \\n");
    case '\f': return problem.append(" or \\f");
    case '\r': return problem.append(" or \\r");
    default: return problem;
  }
}

// One pass over the bytes. The position of a refusal is the count of characters read,
// the offending one included; a read at the end counts too.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Result<JSONValue, JSONDocumentError> read();

 private:
  static constexpr int kEnd = -1;

  // A container being read, with the key of the member whose value comes next.
  struct Frame {
    bool isArray;
    std::vector<JSONValue> elements;
    std::vector<JSONValue::Object::value_type> members;
    std::string key;
  };

  int get() {
    ++read_;
    if (ungot_) {
      ungot_ = false;
    } else {
      current_ = next_ < text_.size() ? static_cast<unsigned char>(text_[next_++]) : kEnd;
    }
    return current_;
  }
  void unget() {
    ungot_ = true;
    --read_;
  }
  Token invalid(std::string problem) {
    problem_ = std::move(problem);
    return Token::invalid;
  }

  Token scan();
  Token scanString();
  bool readContinuation(std::initializer_list<std::pair<int, int>> ranges);
  int readHex4();
  Token scanNumber();
  Token scanLiteral(std::string_view word, Token token);

  tl::unexpected<JSONDocumentError> refuse(Token token, Token expected) const;
  Result<Token, JSONDocumentError> memberValue(Token token, std::string& key);
  void complete(std::vector<Frame>& frames, JSONValue value, JSONValue& result);

  std::string_view text_;
  std::size_t next_ = 0;
  std::size_t read_ = 0;
  int current_ = kEnd;
  bool ungot_ = false;
  std::string problem_;
  std::string buffer_;  // a string's decoded bytes or a number's text
  bool numberFinite_ = true;
};

Token Reader::scan() {
  if (read_ == 0) {
    if (get() == 0xEF) {
      if (!(get() == 0xBB && get() == 0xBF)) {
        return invalid("invalid BOM; must be 0xEF 0xBB 0xBF if given");
      }
    } else {
      unget();
    }
  }
  do {
    get();
  } while (current_ == ' ' || current_ == '\t' || current_ == '\n' || current_ == '\r');
  switch (current_) {
    case '[': return Token::beginArray;
    case ']': return Token::endArray;
    case '{': return Token::beginObject;
    case '}': return Token::endObject;
    case ':': return Token::nameSeparator;
    case ',': return Token::valueSeparator;
    case 't': return scanLiteral("true", Token::literalTrue);
    case 'f': return scanLiteral("false", Token::literalFalse);
    case 'n': return scanLiteral("null", Token::literalNull);
    case '"': return scanString();
    case '\0':
    case kEnd: return Token::endOfInput;
    default:
      if (current_ == '-' || (current_ >= '0' && current_ <= '9')) return scanNumber();
      return invalid("invalid literal");
  }
}

Token Reader::scanLiteral(std::string_view word, Token token) {
  for (std::size_t i = 1; i < word.size(); ++i) {
    if (get() != word[i]) return invalid("invalid literal");
  }
  return token;
}

bool Reader::readContinuation(std::initializer_list<std::pair<int, int>> ranges) {
  buffer_ += static_cast<char>(current_);
  for (const auto& [low, high] : ranges) {
    if (get() < low || current_ > high) {
      problem_ = "invalid string: ill-formed UTF-8 byte";
      return false;
    }
    buffer_ += static_cast<char>(current_);
  }
  return true;
}

// The value of four hex digits after "\u"; -1 at the first other character.
int Reader::readHex4() {
  int value = 0;
  for (int k = 0; k < 4; ++k) {
    const int c = get();
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return -1;
    value = value << 4 | digit;
  }
  return value;
}

Token Reader::scanString() {
  buffer_.clear();
  constexpr std::pair<int, int> kTail{0x80, 0xBF};
  for (;;) {
    const int c = get();
    if (c == kEnd) return invalid("invalid string: missing closing quote");
    if (c == '"') return Token::string;
    if (c < 0x20) return invalid(controlCharacterProblem(c));
    if (c == '\\') {
      switch (get()) {
        case '"': buffer_ += '"'; break;
        case '\\': buffer_ += '\\'; break;
        case '/': buffer_ += '/'; break;
        case 'b': buffer_ += '\b'; break;
        case 'f': buffer_ += '\f'; break;
        case 'n': buffer_ += '\n'; break;
        case 'r': buffer_ += '\r'; break;
        case 't': buffer_ += '\t'; break;
        case 'u': {
          constexpr const char* kNotHex = "invalid string: '\\u' must be followed by 4 hex digits";
          constexpr const char* kLoneHigh =
              "invalid string: surrogate U+D800..U+DBFF must be followed by U+DC00..U+DFFF";
          int scalar = readHex4();
          if (scalar < 0) return invalid(kNotHex);
          if (scalar >= 0xD800 && scalar <= 0xDBFF) {
            if (!(get() == '\\' && get() == 'u')) return invalid(kLoneHigh);
            const int low = readHex4();
            if (low < 0) return invalid(kNotHex);
            if (low < 0xDC00 || low > 0xDFFF) return invalid(kLoneHigh);
            scalar = 0x10000 + ((scalar - 0xD800) << 10) + (low - 0xDC00);
          } else if (scalar >= 0xDC00 && scalar <= 0xDFFF) {
            return invalid("invalid string: surrogate U+DC00..U+DFFF must follow U+D800..U+DBFF");
          }
          UTF8::appendScalar(buffer_, static_cast<std::uint32_t>(scalar));
          break;
        }
        default:
          return invalid("invalid string: forbidden character after backslash");
      }
      continue;
    }
    bool wellFormed = true;
    if (c < 0x80) buffer_ += static_cast<char>(c);
    else if (c >= 0xC2 && c <= 0xDF) wellFormed = readContinuation({kTail});
    else if (c == 0xE0) wellFormed = readContinuation({{0xA0, 0xBF}, kTail});
    else if (c == 0xED) wellFormed = readContinuation({{0x80, 0x9F}, kTail});
    else if (c >= 0xE1 && c <= 0xEF) wellFormed = readContinuation({kTail, kTail});
    else if (c == 0xF0) wellFormed = readContinuation({{0x90, 0xBF}, kTail, kTail});
    else if (c >= 0xF1 && c <= 0xF3) wellFormed = readContinuation({kTail, kTail, kTail});
    else if (c == 0xF4) wellFormed = readContinuation({{0x80, 0x8F}, kTail, kTail});
    else return invalid("invalid string: ill-formed UTF-8 byte");
    if (!wellFormed) return Token::invalid;
  }
}

Token Reader::scanNumber() {
  buffer_.assign(1, static_cast<char>(current_));
  auto isDigit = [](int c) { return c >= '0' && c <= '9'; };
  auto digits = [&] {
    while (isDigit(get())) buffer_ += static_cast<char>(current_);
  };
  bool integral = true;
  if (current_ == '-') {
    if (!isDigit(get())) return invalid("invalid number; expected digit after '-'");
    buffer_ += static_cast<char>(current_);
  }
  // No digit may follow a leading zero; the next token starts there instead.
  if (current_ == '0') get();
  else digits();
  if (current_ == '.') {
    integral = false;
    buffer_ += '.';
    if (!isDigit(get())) return invalid("invalid number; expected digit after '.'");
    buffer_ += static_cast<char>(current_);
    digits();
  }
  if (current_ == 'e' || current_ == 'E') {
    integral = false;
    buffer_ += static_cast<char>(current_);
    if (get() == '+' || current_ == '-') {
      buffer_ += static_cast<char>(current_);
      if (!isDigit(get())) return invalid("invalid number; expected digit after exponent sign");
    } else if (!isDigit(current_)) {
      return invalid("invalid number; expected '+', '-', or digit after exponent");
    }
    buffer_ += static_cast<char>(current_);
    digits();
  }
  unget();
  // An integer beyond 64 bits is read as a double, which may overflow in turn.
  const JSONValue number = JSONValue::number(buffer_);
  const bool fits = integral && (buffer_[0] == '-' ? number.intValue().has_value()
                                                   : number.uintValue().has_value());
  numberFinite_ = fits || std::isfinite(number.doubleValue().value_or(0));
  return Token::number;
}

tl::unexpected<JSONDocumentError> Reader::refuse(Token token, Token expected) const {
  std::string reason =
      token == Token::invalid ? problem_ : std::string("unexpected ").append(tokenName(token));
  if (expected != Token::none) reason.append("; expected ").append(tokenName(expected));
  const TextPosition at = TextPosition::of(text_, read_ > 0 ? read_ - 1 : 0);
  return tl::unexpected(JSONDocumentError{at, std::move(reason)});
}

// From a member's key on: the key and the ':' after it, then the token that starts the
// member's value.
Result<Token, JSONDocumentError> Reader::memberValue(Token token, std::string& key) {
  if (token != Token::string) return refuse(token, Token::string);
  key = std::move(buffer_);
  if ((token = scan()) != Token::nameSeparator) return refuse(token, Token::nameSeparator);
  return scan();
}

// Hands a finished value to the container being read, or makes it the result.
void Reader::complete(std::vector<Frame>& frames, JSONValue value, JSONValue& result) {
  if (frames.empty()) {
    result = std::move(value);
  } else if (frames.back().isArray) {
    frames.back().elements.push_back(std::move(value));
  } else {
    frames.back().members.emplace_back(std::move(frames.back().key), std::move(value));
  }
}

Result<JSONValue, JSONDocumentError> Reader::read() {
  JSONValue result;
  std::vector<Frame> frames;
  Token token = scan();
  // After a container closes, the enclosing one is asked for its next token at once.
  bool closed = false;
  for (;;) {
    if (!closed) {
      switch (token) {
        case Token::beginObject:
        case Token::beginArray: {
          const bool isArray = token == Token::beginArray;
          if (frames.size() >= JSONDocument::kMaxDepth) {
            std::string reason = std::string("containers nested deeper than ")
                                     .append(std::to_string(JSONDocument::kMaxDepth))
                                     .append(" levels");
            return tl::unexpected(JSONDocumentError{TextPosition::of(text_, read_ - 1), std::move(reason)});
          }
          token = scan();
          if (token == (isArray ? Token::endArray : Token::endObject)) {
            complete(frames, isArray ? JSONValue::array() : JSONValue::object(), result);
            break;
          }
          Frame frame{isArray, {}, {}, {}};
          if (!isArray) token = VELA_TRY(memberValue(token, frame.key));
          frames.push_back(std::move(frame));
          continue;
        }
        case Token::number:
          if (!numberFinite_) {
            return tl::unexpected(JSONDocumentError{std::nullopt, "a number is out of range"});
          }
          complete(frames, JSONValue::number(std::move(buffer_)), result);
          break;
        case Token::string: complete(frames, JSONValue(std::move(buffer_)), result); break;
        case Token::literalTrue: complete(frames, JSONValue(true), result); break;
        case Token::literalFalse: complete(frames, JSONValue(false), result); break;
        case Token::literalNull: complete(frames, JSONValue(nullptr), result); break;
        case Token::invalid: return refuse(token, Token::none);
        default: return refuse(token, Token::anyValue);
      }
    }
    closed = false;
    if (frames.empty()) break;
    Frame& frame = frames.back();
    token = scan();
    if (token == Token::valueSeparator) {
      token = scan();
      if (!frame.isArray) token = VELA_TRY(memberValue(token, frame.key));
      continue;
    }
    const Token close = frame.isArray ? Token::endArray : Token::endObject;
    if (token != close) return refuse(token, close);
    // Sorting the members settles equal keys: the last one wins.
    JSONValue container =
        frame.isArray ? JSONValue(std::move(frame.elements))
                      : JSONValue(JSONValue::Object::fromUnordered(std::move(frame.members)));
    frames.pop_back();
    complete(frames, std::move(container), result);
    closed = true;
  }
  if ((token = scan()) != Token::endOfInput) return refuse(token, Token::endOfInput);
  return result;
}

}  // namespace

std::string JSONDocumentError::description() const {
  std::string text = "the data is not valid JSON (";
  if (at) {
    text.append("line ").append(std::to_string(at->line));
    text.append(", column ").append(std::to_string(at->column)).append(": ");
  }
  return text.append(reason).append(")");
}

namespace JSONDocument {

Result<JSONValue, JSONDocumentError> read(std::string_view text) { return Reader(text).read(); }

Result<JSONValue> parse(std::string_view text, std::string_view name) {
  auto document = read(text);
  if (!document) return fail(std::string(name).append(": ").append(document.error().description()));
  return std::move(*document);
}

}  // namespace JSONDocument
}  // namespace vela
