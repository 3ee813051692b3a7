#include "util/canonical_json.h"

#include <variant>

#include "util/utf8.h"

namespace vela::CanonicalJSON {
namespace {

// Bytes that need an escape: the two delimiters and every control character.
bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void appendEscaped(std::string& out, const char* data, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t runStart = 0;
  for (std::size_t k = 0; k < size; ++k) {
    unsigned char c = static_cast<unsigned char>(data[k]);
    if (!needsEscape(c)) continue;
    out.append(data + runStart, k - runStart);
    runStart = k + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default: {
        char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(data + runStart, size - runStart);
  out += '"';
}

// Strings built in C++ may hold ill-formed UTF-8; the output never does.
void appendString(std::string& out, const std::string& text) {
  if (UTF8::validPrefixLength(text) == text.size()) {
    appendEscaped(out, text.data(), text.size());
  } else {
    std::string repaired = text;
    UTF8::repair(repaired);
    appendEscaped(out, repaired.data(), repaired.size());
  }
}

}  // namespace

void encodeInto(std::string& out, const JSONValue& value) {
  switch (value.kind()) {
    case JSONValue::Kind::null:
      out += "null";
      return;
    case JSONValue::Kind::boolean:
      out += *value.boolValue() ? "true" : "false";
      return;
    case JSONValue::Kind::number:
      out += *value.numberText();
      return;
    case JSONValue::Kind::string:
      appendString(out, *value.stringRef());
      return;
    case JSONValue::Kind::array: {
      out += '[';
      bool first = true;
      for (const JSONValue& element : *value.arrayValue()) {
        if (!first) out += ',';
        first = false;
        encodeInto(out, element);
      }
      out += ']';
      return;
    }
    case JSONValue::Kind::object: {
      // The map is already in unsigned byte order of the keys.
      out += '{';
      bool first = true;
      for (const auto& [key, member] : *value.objectValue()) {
        if (!first) out += ',';
        first = false;
        appendString(out, key);
        out += ':';
        encodeInto(out, member);
      }
      out += '}';
      return;
    }
  }
}

namespace {

void encodeIndentedInto(std::string& out, const JSONValue& value, std::size_t depth) {
  const JSONValue::Object* members = value.objectValue();
  const JSONValue::Array* elements = value.arrayValue();
  if ((members == nullptr || members->empty()) && (elements == nullptr || elements->empty())) {
    encodeInto(out, value);
    return;
  }
  out += members != nullptr ? '{' : '[';
  bool first = true;
  auto startLine = [&] {
    out.append(first ? "\n" : ",\n").append(2 * (depth + 1), ' ');
    first = false;
  };
  if (members != nullptr) {
    for (const auto& [key, member] : *members) {
      startLine();
      appendString(out, key);
      out += ": ";
      encodeIndentedInto(out, member, depth + 1);
    }
  } else {
    for (const JSONValue& element : *elements) {
      startLine();
      encodeIndentedInto(out, element, depth + 1);
    }
  }
  out.append("\n").append(2 * depth, ' ');
  out += members != nullptr ? '}' : ']';
}

}  // namespace

std::string encodeIndented(const JSONValue& value) {
  std::string out;
  encodeIndentedInto(out, value, 0);
  return out;
}

std::string encode(const JSONValue& value) {
  std::string out;
  encodeInto(out, value);
  return out;
}

Bytes encodeData(const JSONValue& value) {
  std::string text = encode(value);
  return Bytes(text.begin(), text.end());
}

}  // namespace vela::CanonicalJSON
