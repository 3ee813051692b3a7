#pragma once

// One process at a time per state directory: an exclusive advisory lock on the
// directory itself, held for the life of the object and never inherited by children.
// Nothing is written for it; the kernel's lock table names the holder.

#include <sys/types.h>

#include <optional>
#include <string>

#include "util/agent_error.h"

namespace vela::platform {

class InstanceLock {
 public:
  // Fails with "another vela-agent (pid N) is using <directory>" while someone holds it.
  static Result<InstanceLock> acquire(const std::string& directory);
  // The pid of the process holding the lock, from the kernel's lock table without
  // touching the lock; nothing when nobody holds it.
  static std::optional<pid_t> holder(const std::string& directory);

  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&&) = delete;
  InstanceLock(const InstanceLock&) = delete;
  ~InstanceLock();

 private:
  explicit InstanceLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace vela::platform
