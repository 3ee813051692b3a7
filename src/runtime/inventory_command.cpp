#include <iostream>

#include "runtime/command_handlers.h"
#include "telemetry/inventory.h"
#include "util/canonical_json.h"
#include "util/utf8.h"

namespace vela::CLI {
namespace {

bool allTextIsUTF8(const JSONValue& value) {
  if (const std::string* text = value.stringRef()) return UTF8::isValid(*text);
  if (const JSONValue::Array* elements = value.arrayValue()) {
    for (const JSONValue& element : *elements) {
      if (!allTextIsUTF8(element)) return false;
    }
  }
  if (const JSONValue::Object* members = value.objectValue()) {
    for (const auto& [key, member] : *members) {
      if (!UTF8::isValid(key) || !allTextIsUTF8(member)) return false;
    }
  }
  return true;
}

}  // namespace

Result<int> inventoryCommand() {
  JSONValue inventory = Inventory::collect(true).toJSON();
  // A text that is not UTF-8 (a firmware string, say) is not printed, not even repaired;
  // the command still succeeds.
  if (!allTextIsUTF8(inventory)) return 0;
  std::cout << CanonicalJSON::encodeIndented(inventory) << "\n" << std::flush;
  return 0;
}

}  // namespace vela::CLI
