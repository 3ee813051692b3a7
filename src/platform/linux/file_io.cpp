#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vela::platform {
namespace {

tl::unexpected<AgentError> errnoFailure(const std::string& path, int err) {
  return fail(path + ": " + std::strerror(err));
}

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Result<void> writeAll(int fd, const std::string& path, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoFailure(path, errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace

Result<std::string> readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errnoFailure(path, errno);
  std::string out;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return errnoFailure(path, err);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<void> makeDirectories(const std::string& path, mode_t mode) {
  if (path.empty() || isDirectory(path)) return {};
  std::string parent = parentOf(path);
  if (parent != path) {
    auto made = makeDirectories(parent, mode);
    if (!made) return made;
  }
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return errnoFailure(path, errno);
  // mkdir honours the umask; the mode asked for is the mode wanted.
  if (::chmod(path.c_str(), mode) != 0) return errnoFailure(path, errno);
  return {};
}

Result<void> writeFileDurably(const std::string& target, const std::string& tempPath,
                              std::string_view data, mode_t mode) {
  ::unlink(tempPath.c_str());
  int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return errnoFailure(tempPath, errno);
  auto written = writeAll(fd, tempPath, data);
  if (written && ::fchmod(fd, mode) != 0) written = errnoFailure(tempPath, errno);
  if (written && ::fsync(fd) != 0) written = errnoFailure(tempPath, errno);
  ::close(fd);
  if (!written) {
    ::unlink(tempPath.c_str());
    return written;
  }
  // rename replaces the target atomically; removing it first would open a window in
  // which the file is missing.
  if (::rename(tempPath.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(tempPath.c_str());
    return errnoFailure(target, err);
  }
  int dir = ::open(parentOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return {};
}

Result<void> removeFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return errnoFailure(path, errno);
  return {};
}

Result<mode_t> fileMode(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errnoFailure(path, errno);
  return st.st_mode & 07777;
}

}  // namespace vela::platform
