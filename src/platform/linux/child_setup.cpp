#include "platform/linux/child_setup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace vela::platform {
namespace {

// Kernels before 5.11 lack CLOSE_RANGE_CLOEXEC: walk /proc/self/fd with the raw system
// call, which, unlike readdir, allocates nothing.
int markByWalkingProc() {
  int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errno;
  alignas(dirent64) char buffer[4096];
  for (;;) {
    long n = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (n <= 0) {
      int err = n < 0 ? errno : 0;
      ::close(dir);
      return err;
    }
    for (long offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      int fd = 0;
      const char* c = entry->d_name;
      for (; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + (*c - '0');
      if (*c == '\0' && c != entry->d_name && fd >= 3 && fd != dir) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
}

int markDescriptorsCloseOnExec() {
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return 0;
  return markByWalkingProc();
}

int installStandardDescriptors(const std::array<int, 3>& stdio) {
  for (int target = 0; target < 3; ++target) {
    int source = stdio[target];
    bool opened = source < 0;
    if (opened) {
      source = ::open("/dev/null", target == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (source < 0) return errno;
    }
    if (source != target) {
      if (::dup2(source, target) < 0) return errno;
      if (opened) ::close(source);
    }
  }
  return 0;
}

}  // namespace

int prepareChild(const ChildSetup& setup) noexcept {
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  // Fails harmlessly for the C library's internal signals.
  for (int s = 1; s < NSIG; ++s) {
    if (s != SIGKILL && s != SIGSTOP) ::sigaction(s, &defaults, nullptr);
  }
  if (setup.grouping == ChildLaunch::Grouping::ownSession && ::setsid() < 0) return errno;
  if (setup.stdio) {
    if (int err = installStandardDescriptors(*setup.stdio)) return err;
  }
  if (int err = markDescriptorsCloseOnExec()) return err;
  // The service's tight umask is for the agent's own files; what an operator's shell or
  // script creates gets the system's usual one.
  ::umask(022);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  return 0;
}

std::vector<char*> execPointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

SignalsHeld::SignalsHeld() {
  sigset_t all;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
}

SignalsHeld::~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace vela::platform
