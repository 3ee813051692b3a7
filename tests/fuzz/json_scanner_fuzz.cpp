// Feeds arbitrary bytes to the scanner. Beyond not crashing, every document that
// parses must survive the canonical round trip: parse(encode(v)) == v and
// encode(parse(encode(v))) == encode(v). A violation aborts so libFuzzer keeps it.

#include <span>

#include "fuzz_check.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"

namespace {

using vela::fuzz::check;

// Touches every accessor so that reading odd number texts is exercised too.
void readAll(const vela::JSONValue& value) {
  if (const auto* members = value.objectValue()) {
    for (const auto& [key, member] : *members) {
      check(value[key] == &member, "subscript");
      readAll(member);
    }
  } else if (const auto* elements = value.arrayValue()) {
    for (const auto& element : *elements) readAll(element);
  } else if (value.isNumber()) {
    (void)value.intValue();
    (void)value.doubleValue();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto value = vela::JSONScanner::parse(std::span(data, size));
  if (!value) {
    const auto& error = value.error();
    check(error.kind() == vela::JSONParseError::Kind::unexpectedEnd || error.offset() <= size,
          "error offset beyond the input");
    return 0;
  }
  readAll(*value);
  std::string once = vela::CanonicalJSON::encode(*value);
  auto again = vela::JSONScanner::parse(once);
  check(again.has_value(), "canonical text does not parse");
  check(*again == *value, "parse(encode(v)) != v");
  check(vela::CanonicalJSON::encode(*again) == once, "encoding is not a fixed point");
  return 0;
}
