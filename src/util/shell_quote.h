#pragma once

// Quoting for generated shell scripts: every value becomes one inert word.

#include <string>
#include <string_view>

namespace vela {

// 'text', each ' inside written as '\''. Nothing between single quotes is expanded, so
// $(...), backquotes and line breaks stay literal.
std::string singleQuoted(std::string_view text);

}  // namespace vela
