#pragma once

// File-system access for transfers on behalf of a remote operator. Every call works
// relative to a directory the operator named and never follows a symbolic link in the
// last component, so a planted link cannot lead a read or a write out of that
// directory; only regular files are ever opened for reading (devices and FIFOs are
// refused from their metadata, before any open). Values owned by one thread.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "util/agent_error.h"

namespace vela::platform {

struct FileTreeError {
  enum class Kind { notFound, notDirectory, notRegular, link, exists, noSpace, denied, io };
  Kind kind;
  std::string message;
  const std::string& description() const { return message; }
};
template <typename T>
using TreeResult = Result<T, FileTreeError>;

struct TreeEntry {
  std::string name;
  std::string type;  // "file", "dir", "link", "fifo", "device", "socket"
  std::uint64_t size = 0;
  mode_t mode = 0;       // permission bits
  std::int64_t mtime = 0;  // seconds since the epoch
  uid_t uid = 0;
  gid_t gid = 0;
};

// At most `limit` entries of `directory`, sorted by name; `truncated` says there were more.
TreeResult<std::vector<TreeEntry>> listTree(const std::string& directory, std::size_t limit,
                                            bool& truncated);

class TreeFileReader {
 public:
  static TreeResult<TreeFileReader> open(const std::string& directory, const std::string& name);
  TreeFileReader(TreeFileReader&& other) noexcept;
  TreeFileReader& operator=(TreeFileReader&&) = delete;
  ~TreeFileReader();

  // Up to buffer.size() bytes; 0 at the end.
  TreeResult<std::size_t> read(std::span<std::uint8_t> buffer);
  const TreeEntry& entry() const { return entry_; }

 private:
  TreeFileReader(int fd, TreeEntry entry) : fd_(fd), entry_(std::move(entry)) {}
  int fd_;
  TreeEntry entry_;
};

struct FileOwner {
  uid_t uid = 0;
  gid_t gid = 0;
};

// A file received in pieces under a hidden temporary name beside its target, published
// by commit() only: the bytes are flushed, mode and owner set, and the file renamed
// into place (over an existing regular file only when `replace`), then the directory is
// flushed. Dropped uncommitted, the temporary file is removed; killed, the agent leaves
// at most a hidden ".vela-upload-*" file, never a partial file under the target name.
// The writer holds an exclusive flock on its temporary file for as long as it lives, so
// removeAbandonedUploads() can tell a dead agent's leftover from a live upload's.
class TreeFileWriter {
 public:
  static TreeResult<TreeFileWriter> create(const std::string& directory, const std::string& name);
  TreeFileWriter(TreeFileWriter&& other) noexcept;
  TreeFileWriter& operator=(TreeFileWriter&&) = delete;
  ~TreeFileWriter();

  TreeResult<void> write(std::span<const std::uint8_t> bytes);
  // `owner` absent leaves the file with the agent's own user.
  TreeResult<void> commit(mode_t mode, std::optional<FileOwner> owner, bool replace);
  const std::string& tempName() const { return tempName_; }

 private:
  TreeFileWriter(int dirFd, int fd, std::string directory, std::string name, std::string tempName);
  void discard();
  int dirFd_;
  int fd_;
  std::string directory_;
  std::string name_;
  std::string tempName_;
};

// Removes the ".vela-upload-*" regular files in `directory` that belong to the agent's
// user and that no live TreeFileWriter, in this process or another, holds locked: what
// an agent killed mid-upload left. Returns how many went.
TreeResult<std::size_t> removeAbandonedUploads(const std::string& directory);
// Metadata of `name` in `directory` without following a final link; absent when missing.
TreeResult<std::optional<TreeEntry>> statInTree(const std::string& directory, const std::string& name);
// Owner of a directory (links followed: it is the directory the operator named).
TreeResult<FileOwner> directoryOwner(const std::string& directory);
// Bytes an unprivileged writer may still use on the file system holding `directory`.
TreeResult<std::uint64_t> availableBytes(const std::string& directory);
// A user name or decimal uid, and optionally a group name or gid after ":".
std::optional<FileOwner> lookupOwner(const std::string& text);

}  // namespace vela::platform
