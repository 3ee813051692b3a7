#include "platform/file_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <random>
#include <utility>

namespace vela::platform {

namespace {

using Kind = FileTreeError::Kind;

tl::unexpected<FileTreeError> treeFailure(const std::string& what, int err) {
  Kind kind = Kind::io;
  switch (err) {
    case ENOENT: kind = Kind::notFound; break;
    case ENOTDIR: kind = Kind::notDirectory; break;
    case ELOOP: kind = Kind::link; break;
    case EEXIST: kind = Kind::exists; break;
    case ENOSPC:
    case EDQUOT: kind = Kind::noSpace; break;
    case EACCES:
    case EPERM:
    case EROFS: kind = Kind::denied; break;
    default: break;
  }
  return tl::unexpected(FileTreeError{kind, what + ": " + std::strerror(err)});
}

tl::unexpected<FileTreeError> treeFailure(Kind kind, std::string message) {
  return tl::unexpected(FileTreeError{kind, std::move(message)});
}

std::string joined(const std::string& directory, const std::string& name) {
  return directory.ends_with('/') ? directory + name : directory + "/" + name;
}

TreeEntry entryOf(std::string name, const struct stat& st) {
  TreeEntry e;
  e.name = std::move(name);
  if (S_ISREG(st.st_mode)) e.type = "file";
  else if (S_ISDIR(st.st_mode)) e.type = "dir";
  else if (S_ISLNK(st.st_mode)) e.type = "link";
  else if (S_ISFIFO(st.st_mode)) e.type = "fifo";
  else if (S_ISSOCK(st.st_mode)) e.type = "socket";
  else e.type = "device";
  e.size = static_cast<std::uint64_t>(st.st_size);
  e.mode = st.st_mode & 07777;
  e.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  e.uid = st.st_uid;
  e.gid = st.st_gid;
  return e;
}

TreeResult<int> openDirectory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return treeFailure(directory, errno);
  return fd;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using OpenDir = std::unique_ptr<DIR, DirCloser>;

// For reading entries; opened through the same descriptor path as every other look.
TreeResult<OpenDir> readDirectory(const std::string& directory) {
  int fd = VELA_TRY(openDirectory(directory));
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    int err = errno;
    ::close(fd);
    return treeFailure(directory, err);
  }
  return OpenDir(dir);
}

constexpr std::string_view kTempPrefix = ".vela-upload-";

std::string randomSuffix() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  std::uint64_t v = random();
  for (int i = 0; i < 12; ++i, v >>= 4) s.push_back(kHex[v & 15]);
  return s;
}

}  // namespace

TreeResult<std::vector<TreeEntry>> listTree(const std::string& directory, std::size_t limit,
                                            bool& truncated) {
  OpenDir dir = VELA_TRY(readDirectory(directory));
  std::vector<TreeEntry> entries;
  truncated = false;
  while (dirent* d = ::readdir(dir.get())) {
    std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    // An entry removed meanwhile is simply not listed.
    if (::fstatat(::dirfd(dir.get()), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries.push_back(entryOf(std::move(name), st));
  }
  std::sort(entries.begin(), entries.end(),
            [](const TreeEntry& a, const TreeEntry& b) { return a.name < b.name; });
  if (entries.size() > limit) {
    entries.resize(limit);
    truncated = true;
  }
  return entries;
}

TreeResult<std::optional<TreeEntry>> statInTree(const std::string& directory, const std::string& name) {
  int dirFd = VELA_TRY(openDirectory(directory));
  struct stat st;
  int rc = ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
  int err = errno;
  ::close(dirFd);
  if (rc != 0) {
    if (err == ENOENT) return std::optional<TreeEntry>();
    return treeFailure(joined(directory, name), err);
  }
  return std::optional<TreeEntry>(entryOf(name, st));
}

TreeResult<TreeFileReader> TreeFileReader::open(const std::string& directory, const std::string& name) {
  int dirFd = VELA_TRY(openDirectory(directory));
  const std::string path = joined(directory, name);
  // O_PATH opens nothing: a device or FIFO is judged by its metadata and never opened.
  int pathFd = ::openat(dirFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  int err = errno;
  ::close(dirFd);
  if (pathFd < 0) return treeFailure(path, err);
  struct stat st;
  if (::fstat(pathFd, &st) != 0) {
    err = errno;
    ::close(pathFd);
    return treeFailure(path, err);
  }
  if (S_ISLNK(st.st_mode)) {
    ::close(pathFd);
    return treeFailure(Kind::link, path + " is a symbolic link");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(pathFd);
    return treeFailure(Kind::notRegular, path + " is not a regular file");
  }
  std::string proc = "/proc/self/fd/" + std::to_string(pathFd);
  int fd = ::open(proc.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  err = errno;
  ::close(pathFd);
  if (fd < 0) return treeFailure(path, err);
  return TreeFileReader(fd, entryOf(name, st));
}

TreeFileReader::TreeFileReader(TreeFileReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), entry_(std::move(other.entry_)) {}

TreeFileReader::~TreeFileReader() {
  if (fd_ >= 0) ::close(fd_);
}

TreeResult<std::size_t> TreeFileReader::read(std::span<std::uint8_t> buffer) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return treeFailure(entry_.name, errno);
  }
}

TreeResult<TreeFileWriter> TreeFileWriter::create(const std::string& directory, const std::string& name) {
  int dirFd = VELA_TRY(openDirectory(directory));
  for (int attempt = 0;; ++attempt) {
    std::string tempName = std::string(kTempPrefix) + randomSuffix();
    int fd = ::openat(dirFd, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      int err = errno;
      ::close(dirFd);
      return treeFailure(joined(directory, tempName), err);
    }
    // Another agent's sweep may have taken the new file for a leftover before the lock
    // was ours; such a file is gone from the directory, and a fresh name is tried.
    struct stat st;
    bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    bool swept = (locked || errno == EWOULDBLOCK) && (!locked || (::fstat(fd, &st) == 0 && st.st_nlink == 0));
    if (!swept) return TreeFileWriter(dirFd, fd, directory, name, std::move(tempName));
    ::close(fd);
    if (attempt == 8) {
      ::close(dirFd);
      return treeFailure(Kind::io, directory + ": every temporary file was removed as it was made");
    }
  }
}

TreeResult<std::size_t> removeAbandonedUploads(const std::string& directory) {
  OpenDir dir = VELA_TRY(readDirectory(directory));
  std::size_t removed = 0;
  while (dirent* d = ::readdir(dir.get())) {
    if (!std::string_view(d->d_name).starts_with(kTempPrefix)) continue;
    struct stat named;
    if (::fstatat(::dirfd(dir.get()), d->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
        named.st_uid != ::geteuid()) {
      continue;
    }
    int file = ::openat(::dirfd(dir.get()), d->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0) continue;
    struct stat opened;
    // Only the file looked at, and only while nobody holds it: a live writer keeps its lock.
    if (::fstat(file, &opened) == 0 && opened.st_ino == named.st_ino && opened.st_dev == named.st_dev &&
        ::flock(file, LOCK_EX | LOCK_NB) == 0 && ::unlinkat(::dirfd(dir.get()), d->d_name, 0) == 0) {
      ++removed;
    }
    ::close(file);
  }
  return removed;
}

TreeFileWriter::TreeFileWriter(int dirFd, int fd, std::string directory, std::string name,
                               std::string tempName)
    : dirFd_(dirFd), fd_(fd), directory_(std::move(directory)), name_(std::move(name)),
      tempName_(std::move(tempName)) {}

TreeFileWriter::TreeFileWriter(TreeFileWriter&& other) noexcept
    : dirFd_(std::exchange(other.dirFd_, -1)),
      fd_(std::exchange(other.fd_, -1)),
      directory_(std::move(other.directory_)),
      name_(std::move(other.name_)),
      tempName_(std::move(other.tempName_)) {}

TreeFileWriter::~TreeFileWriter() { discard(); }

void TreeFileWriter::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlinkat(dirFd_, tempName_.c_str(), 0);
    fd_ = -1;
  }
  if (dirFd_ >= 0) ::close(dirFd_);
  dirFd_ = -1;
}

TreeResult<void> TreeFileWriter::write(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) return treeFailure(Kind::io, tempName_ + ": already closed");
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return treeFailure(joined(directory_, tempName_), errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

TreeResult<void> TreeFileWriter::commit(mode_t mode, std::optional<FileOwner> owner, bool replace) {
  if (fd_ < 0) return treeFailure(Kind::io, tempName_ + ": already closed");
  const std::string temp = joined(directory_, tempName_);
  if (::fsync(fd_) != 0) return treeFailure(temp, errno);
  // Owner first: chown clears set-id bits that the mode may then ask for.
  if (owner && ::fchown(fd_, owner->uid, owner->gid) != 0) return treeFailure(temp, errno);
  if (::fchmod(fd_, mode) != 0) return treeFailure(temp, errno);
  const std::string target = joined(directory_, name_);
  struct stat st;
  if (::fstatat(dirFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!replace) return treeFailure(Kind::exists, target + " exists");
    if (S_ISLNK(st.st_mode)) return treeFailure(Kind::link, target + " is a symbolic link");
    if (!S_ISREG(st.st_mode)) return treeFailure(Kind::notRegular, target + " is not a regular file");
  }
  // Without `replace`, a file that appeared meanwhile still wins over ours.
  int rc = replace ? ::renameat(dirFd_, tempName_.c_str(), dirFd_, name_.c_str())
                   : ::renameat2(dirFd_, tempName_.c_str(), dirFd_, name_.c_str(), RENAME_NOREPLACE);
  if (rc != 0) return treeFailure(target, errno);
  ::close(fd_);
  fd_ = -1;
  if (::fsync(dirFd_) != 0) return treeFailure(directory_, errno);
  return {};
}

TreeResult<FileOwner> directoryOwner(const std::string& directory) {
  struct stat st;
  if (::stat(directory.c_str(), &st) != 0) return treeFailure(directory, errno);
  return FileOwner{st.st_uid, st.st_gid};
}

TreeResult<std::uint64_t> availableBytes(const std::string& directory) {
  struct statvfs vfs;
  if (::statvfs(directory.c_str(), &vfs) != 0) return treeFailure(directory, errno);
  return static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

namespace {

template <typename Id>
std::optional<Id> decimal(const std::string& text) {
  unsigned long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return static_cast<Id>(v);
}

}  // namespace

std::optional<FileOwner> lookupOwner(const std::string& text) {
  auto colon = text.find(':');
  std::string user = text.substr(0, colon);
  std::string group = colon == std::string::npos ? "" : text.substr(colon + 1);
  FileOwner owner;
  std::vector<char> buffer(16384);
  if (auto uid = decimal<uid_t>(user)) {
    owner.uid = *uid;
    owner.gid = *uid;
    passwd pw, *found = nullptr;
    if (::getpwuid_r(*uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found) owner.gid = pw.pw_gid;
  } else {
    passwd pw, *found = nullptr;
    if (::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found) {
      return std::nullopt;
    }
    owner.uid = pw.pw_uid;
    owner.gid = pw.pw_gid;
  }
  if (group.empty()) return owner;
  if (auto gid = decimal<gid_t>(group)) {
    owner.gid = *gid;
    return owner;
  }
  struct group gr, *found = nullptr;
  if (::getgrnam_r(group.c_str(), &gr, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return std::nullopt;
  }
  owner.gid = gr.gr_gid;
  return owner;
}

}  // namespace vela::platform
