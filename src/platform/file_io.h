#pragma once

// Thin file-system layer: each call returns a Result whose error text is
// "<path>: <system error text>", so callers never inspect errno themselves.

#include <string>
#include <string_view>
#include <sys/types.h>

#include "util/agent_error.h"

namespace vela::platform {

Result<std::string> readFile(const std::string& path);
bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);

// Creates the directory and its missing parents with `mode`; existing ones are left
// unchanged.
Result<void> makeDirectories(const std::string& path, mode_t mode);

// Writes `data` to `tempPath` (created fresh with `mode`), flushes it to disk, renames
// it over `target` and flushes the directory, so a crash leaves either the old or the new file, never a torn one.
Result<void> writeFileDurably(const std::string& target, const std::string& tempPath,
                              std::string_view data, mode_t mode);

Result<void> removeFile(const std::string& path);

// File mode bits (permission part), or an error.
Result<mode_t> fileMode(const std::string& path);

}  // namespace vela::platform
