#include "support/xvfb_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vela::testing {

XvfbServer::XvfbServer(int width, int height) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  std::string geometry = std::to_string(width) + "x" + std::to_string(height) + "x24";
  pid_ = ::fork();
  if (pid_ == 0) {
    if (fds[1] == 3) ::fcntl(3, F_SETFD, 0);
    else ::dup2(fds[1], 3);  // dup2 clears close-on-exec on the copy
    int null = ::open("/dev/null", O_RDWR);
    for (int fd : {0, 1, 2}) ::dup2(null, fd);
    ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", geometry.c_str(), "+extension", "RANDR",
             "+extension", "MIT-SHM", "+extension", "XTEST", "+extension", "DAMAGE", "+extension", "XFIXES",
             "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  // Xvfb writes the display number once it accepts connections.
  std::string number;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(fds[0]);
  if (!number.empty()) name_ = ":" + number;
}

XvfbServer::~XvfbServer() { kill(); }

void XvfbServer::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace vela::testing
