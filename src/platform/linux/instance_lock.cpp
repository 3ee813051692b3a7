#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace vela::platform {
namespace {

int openDirectory(const std::string& directory) {
  return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
}

// /proc/locks lines read "1: FLOCK  ADVISORY  WRITE 4242 fd:01:1234 0 EOF": the pid,
// then the device (hexadecimal major and minor) and inode of the locked file. Only the
// exclusive lock is the daemon's. Some file systems (btrfs subvolumes) show another
// device there than stat does; then the inode alone has to do.
pid_t holderOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return 0;
  char device[64];
  std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::string inode = ":";
  inode += std::to_string(st.st_ino);
  std::ifstream locks("/proc/locks");
  std::string line;
  pid_t byInode = 0;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, id;
    long pid = 0;
    if (!(fields >> number >> kind)) continue;
    if (kind == "->") continue;  // a waiter, not a holder
    if (kind != "FLOCK" || !(fields >> mode >> access >> pid >> id) || access != "WRITE" || pid <= 0) continue;
    if (id == device) return static_cast<pid_t>(pid);
    if (id.ends_with(inode) && !byInode) byInode = static_cast<pid_t>(pid);
  }
  return byInode;
}

}  // namespace

Result<InstanceLock> InstanceLock::acquire(const std::string& directory) {
  int fd = openDirectory(directory);
  if (fd < 0) return fail("cannot open " + directory + ": " + std::strerror(errno));
  InstanceLock lock(fd);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return fail("cannot lock " + directory + ": " + std::strerror(errno));
    const pid_t pid = holderOf(fd);
    return fail("another vela-agent (pid " + (pid ? std::to_string(pid) : std::string("unknown")) +
                ") is using " + directory);
  }
  return lock;
}

std::optional<pid_t> InstanceLock::holder(const std::string& directory) {
  // Only read: taking even a shared lock here could make a daemon starting this very
  // moment find the directory busy.
  int fd = openDirectory(directory);
  if (fd < 0) return std::nullopt;
  const pid_t pid = holderOf(fd);
  ::close(fd);
  if (pid == 0) return std::nullopt;
  return pid;
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace vela::platform
