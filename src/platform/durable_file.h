#pragma once

// A file written in pieces and published whole. Until commit() the bytes live under a
// temporary name; commit() flushes them to disk, sets the mode, renames the file over
// its target and flushes the directory, so after a crash at any point the target holds
// either its old content or all of the new. A file dropped uncommitted is removed.
// Owned by one thread.

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

#include "util/agent_error.h"

namespace vela::platform {

class DurableFile {
 public:
  // Creates `tempPath` afresh (an earlier file of that name is replaced).
  static Result<DurableFile> create(std::string target, std::string tempPath, mode_t mode);
  DurableFile(DurableFile&& other) noexcept;
  DurableFile& operator=(DurableFile&&) = delete;
  ~DurableFile();

  Result<void> write(std::span<const std::uint8_t> bytes);
  Result<void> commit();

 private:
  DurableFile(std::string target, std::string tempPath, mode_t mode, int fd);
  void discard();

  std::string target_;
  std::string tempPath_;
  mode_t mode_;
  int fd_;
};

// Flushes a directory's entries (a rename inside it) to disk.
Result<void> syncDirectory(const std::string& path);
// rename(2): atomic within one file system.
Result<void> renameFile(const std::string& from, const std::string& to);

}  // namespace vela::platform
