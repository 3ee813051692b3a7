#pragma once

// JSONValue is the generic tree for signed commands, gateway frames, provisioning blobs
// and stored policies. Numbers keep the exact text they were written with, so a tree
// read from the wire re-encodes to the bytes a signer produced. Object members are kept
// ordered by the keys' bytes (unsigned), which is also the canonical output order. A
// value is a plain copyable value; it is not synchronised.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "util/agent_error.h"
#include "util/json_members.h"

namespace vela {

class JSONValue {
 public:
  // The cases in their fixed order; `kind()` reports one of them.
  enum class Kind { object, array, string, number, boolean, null };

  // A map-like table sorted by unsigned key bytes, a proper prefix first: exactly the
  // canonical key order.
  using Object = JSONMembers<JSONValue>;
  using Array = std::vector<JSONValue>;
  struct Number {
    std::string text;
    bool operator==(const Number&) const = default;
  };

  JSONValue() : storage_(nullptr) {}
  JSONValue(std::nullptr_t) : storage_(nullptr) {}
  JSONValue(bool b) : storage_(b) {}
  JSONValue(const char* s) : storage_(std::string(s)) {}
  JSONValue(std::string s) : storage_(std::move(s)) {}
  JSONValue(std::string_view s) : storage_(std::string(s)) {}
  // Integers become number texts in plain decimal.
  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
             !std::is_same_v<T, char8_t> && !std::is_same_v<T, char16_t> &&
             !std::is_same_v<T, char32_t> && !std::is_same_v<T, wchar_t>)
  JSONValue(T n) : storage_(Number{std::to_string(n)}) {}
  // The shortest text that reads back as the same double; NaN and infinities have no
  // JSON form and become null.
  JSONValue(double d);
  JSONValue(Number n) : storage_(std::move(n)) {}
  JSONValue(Array a) : storage_(std::move(a)) {}
  JSONValue(Object o) : storage_(std::move(o)) {}
  // An object from members: JSONValue{{"type", "shell.open"}, {"cols", 80}}.
  JSONValue(std::initializer_list<Object::value_type> members) : storage_(Object(members)) {}

  static JSONValue object(Object members = {}) { return JSONValue(std::move(members)); }
  static JSONValue array(Array elements = {}) { return JSONValue(std::move(elements)); }
  // A number kept as the given text (not validated; the caller vouches for it).
  static JSONValue number(std::string text) { return JSONValue(Number{std::move(text)}); }

  Kind kind() const { return static_cast<Kind>(storage_.index()); }
  bool isObject() const { return kind() == Kind::object; }
  bool isArray() const { return kind() == Kind::array; }
  bool isString() const { return kind() == Kind::string; }
  bool isNumber() const { return kind() == Kind::number; }
  bool isBool() const { return kind() == Kind::boolean; }
  bool isNull() const { return kind() == Kind::null; }

  // The member of an object; nullptr for a missing key or a non-object.
  const JSONValue* operator[](std::string_view key) const;
  // The member `key` when it is a string; nullptr otherwise.
  const std::string* stringAt(std::string_view key) const;

  // Each accessor is absent (nullopt / nullptr) when the value has another case.
  std::optional<std::string> stringValue() const;
  const std::string* stringRef() const { return std::get_if<std::string>(&storage_); }
  // The number's text exactly as written.
  const std::string* numberText() const;
  // Signed 64-bit decimal: optional sign, one or more ASCII digits, nothing else.
  std::optional<std::int64_t> intValue() const;
  // Unsigned 64-bit decimal: one or more ASCII digits, nothing else.
  std::optional<std::uint64_t> uintValue() const;
  // C-locale floating point that consumes the whole text; no leading white space.
  std::optional<double> doubleValue() const;
  std::optional<bool> boolValue() const;
  const Object* objectValue() const { return std::get_if<Object>(&storage_); }
  Object* objectValue() { return std::get_if<Object>(&storage_); }
  const Array* arrayValue() const { return std::get_if<Array>(&storage_); }
  Array* arrayValue() { return std::get_if<Array>(&storage_); }

  // Builders: `set` makes a non-object an empty object first and replaces an existing
  // member; `append` likewise makes a non-array an empty array first.
  JSONValue& set(std::string key, JSONValue value);
  JSONValue& append(JSONValue element);

  // Structural: numbers compare by text, so 1 and 1.0 differ.
  bool operator==(const JSONValue& other) const { return storage_ == other.storage_; }

 private:
  // Alternatives in the order of Kind.
  std::variant<Object, Array, std::string, Number, bool, std::nullptr_t> storage_;
};

// Why a member a decoder requires could not be read; each decoder words it its own way.
struct MemberError {
  enum class Kind { missing, null, wrongType };
  Kind kind;
  std::string key;
};

// The member `key` of an object, which must be a string. A non-object has no members.
Result<std::string, MemberError> requiredString(const JSONValue& object, std::string_view key);

}  // namespace vela
