#include "platform/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <thread>

#include "platform/linux/child_setup.h"

extern char** environ;

namespace vela::platform {
namespace {

// Reports a failed exec back to startChild.
struct ErrorPipe {
  int read = -1;
  int write = -1;
  ~ErrorPipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
};

}  // namespace

int openChildPipe(int& readEnd, int& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  for (int& fd : fds) {
    if (fd >= 3) continue;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    ::close(fd);
    fd = moved;
    if (moved < 0) {
      for (int other : fds) {
        if (other >= 0) ::close(other);
      }
      return err;
    }
  }
  readEnd = fds[0];
  writeEnd = fds[1];
  return 0;
}

Result<pid_t, int> startChild(const ChildLaunch& launch) {
  // Everything the child touches is laid out before the fork: after it only
  // async-signal-safe calls may run.
  std::vector<std::string> arguments{launch.path};
  arguments.insert(arguments.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<std::string> environment = launch.environment.value_or(std::vector<std::string>{});
  std::vector<char*> argv = execPointers(arguments);
  std::vector<char*> envp = execPointers(environment);
  char* const* childEnvironment = launch.environment ? envp.data() : environ;
  const ChildSetup setup{launch.stdio, launch.grouping};

  ErrorPipe errors;
  if (int err = openChildPipe(errors.read, errors.write)) return tl::unexpected(err);
  pid_t pid;
  int forkError = 0;
  {
    SignalsHeld held;
    pid = ::fork();
    if (pid == 0) {
      int err = prepareChild(setup);
      if (err == 0) {
        ::execve(argv[0], argv.data(), childEnvironment);
        err = errno;
      }
      [[maybe_unused]] auto n = ::write(errors.write, &err, sizeof err);
      ::_exit(127);
    }
    forkError = errno;
  }
  if (pid < 0) return tl::unexpected(forkError);
  ::close(errors.write);
  errors.write = -1;
  // End of file means the exec succeeded and closed the child's end.
  int childError = 0;
  ssize_t n;
  do {
    n = ::read(errors.read, &childError, sizeof childError);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof childError)) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return tl::unexpected(childError);
  }
  return pid;
}

void reapWhenEnded(pid_t child, std::function<void(int status)> ended) {
  std::thread([child, ended = std::move(ended)] {
    pthread_setname_np(pthread_self(), "vela.reaper");
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (ended) ended(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }).detach();
}

}  // namespace vela::platform
