#pragma once

// Local stream sockets for the desktop relay: the listener whose file carries its
// owner and mode before anyone can connect, accepting with the peer's user id, and the
// connecting side. Descriptors are non-blocking and close-on-exec; the caller owns them.

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <optional>
#include <string>
#include <utility>

#include "util/agent_error.h"

namespace vela::platform {

struct UnixAddress {
  sockaddr_un address{};
  socklen_t length = 0;
};

// The path is copied with at most 103 bytes, so the 104-byte path field stays
// NUL-terminated; a longer path is silently cut. The length covers the whole record.
UnixAddress makeUnixAddr(const std::string& path);

// Creates the parent directory, replaces any file at `path`, binds, gives the file to
// `owner` (group 0) when set, makes it 0600 and only then listens with a backlog of 1.
// A path beyond the address's 103 bytes is cut there, in the file system too.
Result<int> listenUnix(const std::string& path, std::optional<uid_t> owner);

struct AcceptedPeer {
  int fd = -1;
  std::optional<uid_t> uid;  // absent when the kernel would not say
};
// Nothing when there is no connection waiting or the accept failed.
std::optional<AcceptedPeer> acceptUnix(int listenFD);

Result<int> connectUnix(const std::string& path);

// Two connected ends, for a parent and the child it starts; each as above. The child's
// end must be handed over through ChildLaunch::stdio, which clears close-on-exec.
Result<std::pair<int, int>> socketPair();

void closeDescriptor(int fd);
void removeSocketFile(const std::string& path);

}  // namespace vela::platform
