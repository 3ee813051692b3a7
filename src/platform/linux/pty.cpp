#include "platform/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/child_setup.h"

extern char** environ;

namespace vela::platform {

namespace {

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Everything the child needs is laid out before fork: after it only async-signal-safe
// calls may run, because other threads may have held the allocator's locks.
std::vector<std::string> mergedEnvironment(
    const std::vector<std::pair<std::string, std::string>>& extraEnv) {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    std::string_view name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto& [key, value] : extraEnv) overridden = overridden || key == name;
    if (!overridden) out.emplace_back(entry);
  }
  for (const auto& [key, value] : extraEnv) out.push_back(key + "=" + value);
  return out;
}

}  // namespace

Result<PTYChild> ptyFork(const std::string& path, const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& extraEnv,
                         std::uint16_t rows, std::uint16_t cols) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env = mergedEnvironment(extraEnv);
  std::vector<char*> argp = execPointers(args);
  std::vector<char*> envp = execPointers(env);
  winsize size{};
  size.ws_row = rows;
  size.ws_col = cols;
  // forkpty already made the terminal the child's session and standard descriptors.
  const ChildSetup setup{std::nullopt, ChildLaunch::Grouping::inherit};
  int master = -1;
  pid_t pid;
  int forkError = 0;
  {
    SignalsHeld held;
    pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
      if (prepareChild(setup) == 0) execve(path.c_str(), argp.data(), envp.data());
      _exit(127);
    }
    forkError = errno;
  }
  if (pid < 0) return fail(std::string("forkpty: ") + std::strerror(forkError));
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return PTYChild{pid, master};
}

Result<void> ptySetWinsize(int fd, std::uint16_t rows, std::uint16_t cols) {
  winsize size{};
  size.ws_row = rows;
  size.ws_col = cols;
  if (ioctl(fd, TIOCSWINSZ, &size) != 0) return fail(errnoText("TIOCSWINSZ"));
  return {};
}

Result<int> makeWakeFD() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return fail(errnoText("eventfd"));
  return fd;
}

void wake(int wakeFD) {
  std::uint64_t one = 1;
  ssize_t ignored = ::write(wakeFD, &one, sizeof one);
  (void)ignored;
}

PTYReadiness waitReadable(int masterFD, int wakeFD) {
  for (;;) {
    pollfd fds[2] = {{masterFD, POLLIN, 0}, {wakeFD, POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return PTYReadiness::closed;
    }
    if (fds[1].revents) return PTYReadiness::woken;
    if (fds[0].revents & POLLIN) return PTYReadiness::readable;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return PTYReadiness::closed;
  }
}

ReadOutcome ptyRead(int fd, std::span<std::uint8_t> buffer) {
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0) return {static_cast<std::size_t>(n), false, false};
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {0, true, false};
    return {0, false, true};
  }
}

std::size_t ptyWrite(int fd, std::span<const std::uint8_t> data) {
  for (;;) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;
  }
}

void closeFD(int fd) {
  if (fd >= 0) ::close(fd);
}

ChildStatus reapChild(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r != pid) return {};
  if (WIFEXITED(status)) return {WEXITSTATUS(status), std::nullopt};
  return {std::nullopt, status & 0x7f};
}

void waitChildEnded(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
}

void sendSignal(pid_t pid, int signal) {
  if (pid > 0) ::kill(pid, signal);
}

bool processExists(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0; }

}  // namespace vela::platform
