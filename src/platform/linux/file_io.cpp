#include "platform/file_io.h"
#include "platform/linux/path_errors.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vela::platform {
namespace {

using detail::errnoFailure;
using detail::parentOf;

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

// Owns one descriptor; closes it on destruction.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

Result<std::string> readAll(int fd, const std::string& path) {
  std::string out;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoFailure(path, errno);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

// O_NOFOLLOW reports a link as ELOOP, which reads like a loop; say what it is.
tl::unexpected<AgentError> openFailure(int dirfd, const std::string& name, const std::string& shown,
                                       int err) {
  struct stat st;
  if (err == ELOOP && ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    return fail(shown + " is a symbolic link");
  }
  return errnoFailure(shown, err);
}

// Writes `tempName` fresh with `mode`, flushes it and renames it over `targetName`, both
// relative to `dirfd`; `*Shown` are the paths named in errors.
Result<void> writeAndRenameAt(int dirfd, const std::string& tempName, const std::string& targetName,
                              const std::string& tempShown, const std::string& targetShown,
                              std::string_view data, mode_t mode) {
  ::unlinkat(dirfd, tempName.c_str(), 0);
  int raw =
      ::openat(dirfd, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (raw < 0) return openFailure(dirfd, tempName, tempShown, errno);
  Result<void> written;
  {
    UniqueFd fd(raw);
    written = writeAll(fd.get(), tempShown, data);
    if (written && ::fchmod(fd.get(), mode) != 0) written = errnoFailure(tempShown, errno);
    if (written && ::fsync(fd.get()) != 0) written = errnoFailure(tempShown, errno);
  }
  if (!written) {
    ::unlinkat(dirfd, tempName.c_str(), 0);
    return written;
  }
  // rename replaces the target atomically; removing it first would open a window in
  // which the file is missing.
  if (::renameat(dirfd, tempName.c_str(), dirfd, targetName.c_str()) != 0) {
    int err = errno;
    ::unlinkat(dirfd, tempName.c_str(), 0);
    return errnoFailure(targetShown, err);
  }
  return {};
}

// The directory that holds the last component of `relative` below `root`, reached
// without following a link; `leaf` receives that last component.
Result<UniqueFd> openParentBeneath(const std::string& root, std::string_view relative,
                                   std::string& leaf) {
  UniqueFd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return errnoFailure(root, errno);
  std::string shown = root;
  std::vector<std::string> parts;
  while (!relative.empty()) {
    auto slash = relative.find('/');
    std::string_view part = relative.substr(0, slash);
    relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") return fail(shown + "/..: leaves " + root);
    parts.emplace_back(part);
  }
  if (parts.empty()) return fail(root + ": no file named below it");
  leaf = parts.back();
  parts.pop_back();
  for (const std::string& part : parts) {
    shown += "/" + part;
    int next = ::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      int err = errno;
      struct stat st;
      if (::fstatat(dir.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        return fail(shown + " is a symbolic link");
      }
      return errnoFailure(shown, err);
    }
    dir = UniqueFd(next);
  }
  return dir;
}

}  // namespace

Result<std::string> readFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errnoFailure(path, errno);
  return readAll(fd.get(), path);
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
  VELA_TRY_VOID(writeAndRenameAt(AT_FDCWD, tempPath, target, tempPath, target, data, mode));
  UniqueFd dir(::open(parentOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
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

Result<std::optional<FileInfo>> fileInfo(const std::string& path, bool followLinks) {
  struct stat st;
  int rc = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) {
    if (errno == ENOENT) return std::optional<FileInfo>();
    return errnoFailure(path, errno);
  }
  return FileInfo{st.st_uid, static_cast<mode_t>(st.st_mode & 07777), S_ISDIR(st.st_mode) != 0,
                  S_ISREG(st.st_mode) != 0, S_ISLNK(st.st_mode) != 0};
}

uid_t effectiveUser() { return ::geteuid(); }

std::string homeDirectoryOf(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return "";
  }
  return found->pw_dir;
}

std::string userNameOf(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_name == nullptr) {
    return "";
  }
  return found->pw_name;
}

Result<std::optional<std::string>> readTrustedFile(const std::string& path) {
  // Non-blocking, so a FIFO planted in its place cannot hold the reader.
  int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (raw < 0) {
    if (errno == ENOENT) return std::optional<std::string>();
    return openFailure(AT_FDCWD, path, path, errno);
  }
  UniqueFd fd(raw);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errnoFailure(path, errno);
  if (!S_ISREG(st.st_mode)) return fail(path + " is not a regular file");
  uid_t me = ::geteuid();
  if (st.st_uid != 0 && st.st_uid != me) {
    return fail(path + " is owned by uid " + std::to_string(st.st_uid) +
                ", neither root nor this user");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return fail(path + " is writable by group or others");
  std::string dir = parentOf(path);
  struct stat dirStat;
  if (::stat(dir.c_str(), &dirStat) != 0) return errnoFailure(dir, errno);
  bool stickyAndOurs = (dirStat.st_mode & S_ISVTX) != 0 && st.st_uid == me;
  if ((dirStat.st_mode & S_IWOTH) != 0 && !stickyAndOurs) {
    return fail(path + " lies in " + dir + ", which others may write to");
  }
  return std::optional<std::string>(VELA_TRY(readAll(fd.get(), path)));
}

Result<std::string> requireNoOtherWriter(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return errnoFailure(path, errno);
  const std::string resolved(real);
  std::free(real);
  std::string at = resolved;
  const uid_t me = ::geteuid();
  for (;;) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0) return errnoFailure(at, errno);
    if (st.st_uid != 0 && st.st_uid != me) {
      return fail(at + " is owned by uid " + std::to_string(st.st_uid) + ", neither root nor this user");
    }
    const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
      return fail(at + " is writable by " + ((st.st_mode & S_IWOTH) ? "others" : "its group"));
    }
    if (at == "/") return resolved;
    at = parentOf(at);
  }
}

Result<std::string> readFileBeneath(const std::string& root, std::string_view relative) {
  std::string leaf;
  UniqueFd dir = VELA_TRY(openParentBeneath(root, relative, leaf));
  std::string shown = root + "/" + std::string(relative);
  int raw =
      ::openat(dir.get(), leaf.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (raw < 0) return openFailure(dir.get(), leaf, shown, errno);
  UniqueFd fd(raw);
  return readAll(fd.get(), shown);
}

Result<void> writeFileDurablyBeneath(const std::string& root, std::string_view relative,
                                     std::string_view tempSuffix, std::string_view data,
                                     mode_t mode) {
  std::string leaf;
  UniqueFd dir = VELA_TRY(openParentBeneath(root, relative, leaf));
  std::string shown = root + "/" + std::string(relative);
  std::string temp = leaf + std::string(tempSuffix);
  VELA_TRY_VOID(
      writeAndRenameAt(dir.get(), temp, leaf, shown + std::string(tempSuffix), shown, data, mode));
  ::fsync(dir.get());
  return {};
}

Result<std::vector<std::string>> listDirectory(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return errnoFailure(path, errno);
  std::vector<std::string> names;
  while (const struct dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

}  // namespace vela::platform
