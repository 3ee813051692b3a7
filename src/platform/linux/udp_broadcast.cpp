#include "platform/udp_broadcast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vela::platform {

Result<std::size_t> sendUDPBroadcast(std::span<const std::uint8_t> data, std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    int err = errno;
    ::close(fd);
    return fail(std::string("SO_BROADCAST: ") + std::strerror(err));
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  ssize_t sent;
  do {
    sent = ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to);
  } while (sent < 0 && errno == EINTR);
  int err = errno;
  ::close(fd);
  if (sent < 0) return fail(std::string("sendto: ") + std::strerror(err));
  return static_cast<std::size_t>(sent);
}

}  // namespace vela::platform
