#pragma once

// An operator's path, checked before anything touches the file system: absolute, at
// most 4096 bytes, no "." or ".." component (a transfer names its directory exactly),
// no control characters (a name that would rewrite the operator's screen or a log
// line). Plain value.

#include <optional>
#include <string>
#include <string_view>

#include "util/agent_error.h"

namespace vela {

struct FilePath {
  std::string directory;  // normalised, without a trailing "/" (except the root)
  std::string name;       // the last component; empty for the root

  std::string full() const;
  // The error text says what is wrong with the path.
  static Result<FilePath> parse(std::string_view text);
};

}  // namespace vela
