#include "platform/unix_socket.h"

#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vela::platform {
namespace {

constexpr std::size_t kPathLimit = 103;
constexpr socklen_t kAddressLength = 106;

int streamSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

// The file a too-long path really names: the address keeps only its first bytes.
std::string boundPath(const std::string& path) { return path.substr(0, kPathLimit); }

}  // namespace

UnixAddress makeUnixAddr(const std::string& path) {
  UnixAddress result;
  result.address.sun_family = AF_UNIX;
  std::memcpy(result.address.sun_path, path.data(), std::min(path.size(), kPathLimit));
  // The record is 110 bytes on Linux, so the length used elsewhere always fits.
  static_assert(sizeof(sockaddr_un) >= kAddressLength);
  result.length = kAddressLength;
  return result;
}

Result<int> listenUnix(const std::string& requested, std::optional<uid_t> owner) {
  const std::filesystem::path given(boundPath(requested));
  std::error_code ignored;
  std::filesystem::create_directories(given.parent_path(), ignored);
  // The socket is handed to another user by name: in a directory someone else can
  // change, that name could become a link to any file. The checked, resolved directory
  // is the one used from here on.
  const std::string directory = given.parent_path().empty() ? "." : given.parent_path().string();
  auto safe = requireNoOtherWriter(directory);
  if (!safe) return fail("ipc socket directory refused: " + safe.error().message);
  const std::string path = boundPath(*safe + "/" + given.filename().string());
  ::unlink(path.c_str());
  int fd = streamSocket();
  if (fd < 0) return fail("ipc socket() failed");
  auto address = makeUnixAddr(path);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0) {
    int err = errno;
    ::close(fd);
    return fail(std::string("ipc bind failed: ") + std::strerror(err));
  }
  // Nobody can connect before listen(), so the owner and mode are in place by the time
  // anyone can. Failing to set them leaves the socket to root, which only locks the
  // user out; every accepted peer's uid is checked anyway.
  [[maybe_unused]] bool ownerSet =
      !owner || ::fchownat(AT_FDCWD, path.c_str(), *owner, 0, AT_SYMLINK_NOFOLLOW) == 0;
  [[maybe_unused]] bool modeSet = ::chmod(path.c_str(), 0600) == 0;
  if (::listen(fd, 1) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    return fail("ipc listen failed");
  }
  return fd;
}

std::optional<AcceptedPeer> acceptUnix(int listenFD) {
  int fd = ::accept4(listenFD, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return std::nullopt;
  AcceptedPeer peer{fd, std::nullopt};
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) peer.uid = credentials.uid;
  return peer;
}

Result<int> connectUnix(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail("ipc socket() failed");
  auto address = makeUnixAddr(path);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0) {
    int err = errno;
    ::close(fd);
    return fail(std::string("ipc connect failed: ") + std::strerror(err));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

Result<std::pair<int, int>> socketPair() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
    return fail(std::string("socketpair failed: ") + std::strerror(errno));
  }
  return std::pair{ends[0], ends[1]};
}

void closeDescriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

void removeSocketFile(const std::string& path) { ::unlink(boundPath(path).c_str()); }

}  // namespace vela::platform
