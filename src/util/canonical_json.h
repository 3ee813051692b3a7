#pragma once

// The one compact JSON writer: no white space, object keys in ascending byte order,
// numbers exactly as their text, minimal string escaping. Command signatures cover
// these bytes, so the output for a given tree must never change. Never fails.

#include <string>

#include "util/bytes.h"
#include "util/json_value.h"

namespace vela::CanonicalJSON {

std::string encode(const JSONValue& value);
Bytes encodeData(const JSONValue& value);

// Appends the encoding to `out`; lets callers build larger texts without copies.
void encodeInto(std::string& out, const JSONValue& value);

// The same tree laid out for people (files they may edit, command output): each member
// or element on a line of its own, indented by two spaces per level, ": " after a key,
// empty containers as {} and []. No line break at the end.
std::string encodeIndented(const JSONValue& value);

}  // namespace vela::CanonicalJSON
