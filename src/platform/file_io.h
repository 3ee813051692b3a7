#pragma once

// Thin file-system layer: each call returns a Result whose error text is
// "<path>: <system error text>", so callers never inspect errno themselves.

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

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

// Who owns a file system entry and how it may be used; `symlink` only when the entry
// itself was looked at (followLinks false).
struct FileInfo {
  uid_t owner = 0;
  mode_t mode = 0;  // permission bits, including set-id and sticky
  bool directory = false;
  bool regular = false;
  bool symlink = false;
};
// Absent when nothing exists at the path.
Result<std::optional<FileInfo>> fileInfo(const std::string& path, bool followLinks);

uid_t effectiveUser();
// The home directory the user database gives for `uid`, or "" when it has none.
std::string homeDirectoryOf(uid_t uid);
// The login name the user database gives for `uid`, or "" when it has none.
std::string userNameOf(uid_t uid);

// Reads a file that another local user must not have been able to plant or change: a
// regular file, not a symbolic link, owned by root or the effective user, writable by
// neither group nor others, in a directory that others cannot write to unless it is
// sticky and the file ours. Absent when nothing exists at the path; otherwise the error
// says why the file is not used. Checked on the opened file, so a swap after the check
// cannot slip another file in.
Result<std::optional<std::string>> readTrustedFile(const std::string& path);

// Fails, naming the culprit, unless no user but root and the effective user can replace
// or change the entry at `path` (links resolved): it and every directory above it are
// owned by one of the two and writable by neither group nor others, except a sticky
// directory, where others cannot move or replace what is not theirs. Returns the
// resolved path, which callers must use from then on: the links on the way are exactly
// what others might still change.
Result<std::string> requireNoOtherWriter(const std::string& path);

// The same operations confined below the directory `root`: no symbolic link is followed
// at any component of `relative` (the root itself may be one), so a planted link can
// neither redirect a write nor supply the content of a read.
Result<std::string> readFileBeneath(const std::string& root, std::string_view relative);
Result<void> writeFileDurablyBeneath(const std::string& root, std::string_view relative,
                                     std::string_view tempSuffix, std::string_view data,
                                     mode_t mode);

// Names of the entries of a directory (without "." and ".."), or an error.
Result<std::vector<std::string>> listDirectory(const std::string& path);

}  // namespace vela::platform
