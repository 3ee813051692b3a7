#include "platform/durable_file.h"
#include "platform/linux/path_errors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vela::platform {
using detail::errnoFailure;
using detail::parentOf;

Result<DurableFile> DurableFile::create(std::string target, std::string tempPath, mode_t mode) {
  ::unlink(tempPath.c_str());
  // Owner-only until complete; commit() gives the file its mode.
  int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errnoFailure(tempPath, errno);
  return DurableFile(std::move(target), std::move(tempPath), mode, fd);
}

DurableFile::DurableFile(std::string target, std::string tempPath, mode_t mode, int fd)
    : target_(std::move(target)), tempPath_(std::move(tempPath)), mode_(mode), fd_(fd) {}

DurableFile::DurableFile(DurableFile&& other) noexcept
    : target_(std::move(other.target_)),
      tempPath_(std::move(other.tempPath_)),
      mode_(other.mode_),
      fd_(std::exchange(other.fd_, -1)) {}

DurableFile::~DurableFile() { discard(); }

void DurableFile::discard() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(tempPath_.c_str());
}

Result<void> DurableFile::write(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) return fail(tempPath_ + ": already closed");
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoFailure(tempPath_, errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Result<void> DurableFile::commit() {
  if (fd_ < 0) return fail(tempPath_ + ": already closed");
  Result<void> done;
  if (::fchmod(fd_, mode_) != 0) {
    done = errnoFailure(tempPath_, errno);
  } else if (::fsync(fd_) != 0) {
    done = errnoFailure(tempPath_, errno);
  }
  if (!done) {
    discard();
    return done;
  }
  ::close(std::exchange(fd_, -1));
  if (::rename(tempPath_.c_str(), target_.c_str()) != 0) {
    int err = errno;
    ::unlink(tempPath_.c_str());
    return errnoFailure(target_, err);
  }
  return syncDirectory(parentOf(target_));
}

Result<void> syncDirectory(const std::string& path) {
  int dir = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errnoFailure(path, errno);
  int rc = ::fsync(dir);
  int err = errno;
  ::close(dir);
  if (rc != 0) return errnoFailure(path, err);
  return {};
}

Result<void> renameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return errnoFailure(to, errno);
  return {};
}

}  // namespace vela::platform
