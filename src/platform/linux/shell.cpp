#include "platform/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/child_process.h"
#include "util/log.h"
#include "util/mutex.h"
#include "util/tail_buffer.h"
#include "util/utf8.h"

namespace vela::Shell {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kGrace = std::chrono::seconds(2);
constexpr char kReaderLabel[] = "vela.shell.reader";

std::string errnoText(int err) { return std::system_category().message(err); }

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Both ends close-on-exec and above the standard descriptors, so that the dup2 calls
// in the child can never clobber one another and nothing leaks into other children.
struct Pipe {
  int read = -1;
  int write = -1;

  int open() { return platform::openChildPipe(read, write); }
  ~Pipe() {
    closeFd(read);
    closeFd(write);
  }
};

// Releases blocked readers and the input writer once the output is no longer wanted
// (a grandchild may keep the pipes open long after the child is gone).
class StopSignal {
 public:
  int open() { return pipe_.open(); }
  int fd() const { return pipe_.read; }
  void fire() {
    if (pipe_.write >= 0) {
      char byte = 1;
      [[maybe_unused]] auto n = ::write(pipe_.write, &byte, 1);
      closeFd(pipe_.write);
    }
  }

 private:
  Pipe pipe_;
};

void nameThread() {
  std::string label(kReaderLabel);
  label.resize(std::min<std::size_t>(label.size(), 15));
  pthread_setname_np(pthread_self(), label.c_str());
}

// Collects one output stream on its own thread until end of file or the stop signal,
// keeping its tail. Destroying it before take() fires the stop signal, so unwinding
// never hangs.
class DataAccumulator {
 public:
  struct Collected {
    std::string bytes;
    std::uint64_t dropped = 0;
  };

  DataAccumulator(int fd, StopSignal& stop) : fd_(fd), stop_(stop) {
    thread_ = std::thread([this] { readAll(); });
  }
  ~DataAccumulator() {
    if (thread_.joinable()) {
      stop_.fire();
      thread_.join();
    }
  }

  bool waitUntil(Clock::time_point limit) {
    MutexLock lock(mu_);
    while (!done_) {
      if (!cv_.waitUntil(mu_, limit)) return done_;
    }
    return true;
  }
  Collected take() {
    if (thread_.joinable()) thread_.join();
    MutexLock lock(mu_);
    return std::move(data_);
  }

 private:
  void readAll() {
    nameThread();
    TailBuffer collected(kMaxCapturedBytes);
    std::array<char, 65536> buf;
    std::array<pollfd, 2> fds{pollfd{fd_, POLLIN, 0}, pollfd{stop_.fd(), POLLIN, 0}};
    for (;;) {
      int ready = ::poll(fds.data(), fds.size(), -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0) {
        ssize_t n = ::read(fd_, buf.data(), buf.size());
        if (n > 0) {
          collected.append(std::string_view(buf.data(), static_cast<std::size_t>(n)));
          continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        break;
      }
      if (fds[1].revents != 0) break;
    }
    Collected result;
    result.bytes = collected.take();
    result.dropped = collected.dropped();
    MutexLock lock(mu_);
    data_ = std::move(result);
    done_ = true;
    cv_.notifyAll();
  }

  const int fd_;
  StopSignal& stop_;
  Mutex mu_;
  CondVar cv_;
  Collected data_ GUARDED_BY(mu_);
  bool done_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

// Writes the input and closes the pipe; a child that stops reading ends the write
// (EPIPE, kept away from the process by blocking SIGPIPE on this thread only).
void writeInput(int fd, const std::string& input, int stopFd) {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::size_t offset = 0;
  std::array<pollfd, 2> fds{pollfd{fd, POLLOUT, 0}, pollfd{stopFd, POLLIN, 0}};
  while (offset < input.size()) {
    ssize_t n = ::write(fd, input.data() + offset, input.size() - offset);
    if (n > 0) {
      offset += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) break;
  }
  ::close(fd);
}

// Waits for the child's end without reaping it, so that its process id cannot be
// reused before the last signal is sent. A pidfd gives a timed wait without a thread;
// kernels without one are polled.
class ExitWatcher {
 public:
  explicit ExitWatcher(pid_t pid)
      : pid_(pid), pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  ~ExitWatcher() { closeFd(pidfd_); }
  ExitWatcher(const ExitWatcher&) = delete;
  ExitWatcher& operator=(const ExitWatcher&) = delete;

  bool waitUntil(Clock::time_point limit, const Cancellation* cancel = nullptr) {
    for (;;) {
      if (exited()) return true;
      auto now = Clock::now();
      if (now >= limit || (cancel && cancel->cancelled())) return false;
      auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - now).count();
      if (pidfd_ >= 0) {
        pollfd p[2] = {{pidfd_, POLLIN, 0}, {cancel ? cancel->fd() : -1, POLLIN, 0}};
        ::poll(p, 2, static_cast<int>(std::min<long long>(left, 60'000)));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, 10)));
      }
    }
  }
  // Reaps the child and returns its raw wait status.
  int reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

 private:
  bool exited() const {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      return errno != EINTR;  // ECHILD: nothing left to wait for
    }
    return info.si_pid == pid_;
  }

  const pid_t pid_;
  int pidfd_;
};

Result spawnFailed(int err) {
  Result r;
  r.exitCode = -1;
  r.stderr = std::string(kSpawnFailed) + errnoText(err);
  return r;
}

int exitCodeFromStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return -1;
}

int spawnChild(pid_t& pid, const std::string& path, const std::vector<std::string>& arguments,
               const std::optional<std::map<std::string, std::string>>& environment,
               const Pipe& in, const Pipe& out, const Pipe& err) {
  platform::ChildLaunch launch;
  launch.path = path;
  launch.arguments = arguments;
  if (environment) {
    launch.environment.emplace();
    for (const auto& [key, value] : *environment) launch.environment->push_back(key + "=" + value);
  }
  launch.stdio = {in.read, out.write, err.write};
  auto started = platform::startChild(launch);
  if (!started) return started.error();
  pid = *started;
  return 0;
}

Result runChecked(const std::string& path, const std::vector<std::string>& arguments,
                  const std::optional<std::string>& stdin, double timeout,
                  const std::optional<std::map<std::string, std::string>>& environment,
                  const Cancellation* cancel) {
  Pipe in, out, err;
  StopSignal stop;
  for (int rc : {in.open(), out.open(), err.open(), stop.open()}) {
    if (rc != 0) return spawnFailed(rc);
  }
  auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::clamp(timeout, 0.0, 1e9)));

  // Readers start first so that nothing after the launch can throw.
  DataAccumulator outData(out.read, stop);
  DataAccumulator errData(err.read, stop);

  pid_t pid = -1;
  int rc = spawnChild(pid, path, arguments, environment, in, out, err);
  closeFd(in.read);
  closeFd(out.write);
  closeFd(err.write);
  if (rc != 0) return spawnFailed(rc);

  std::thread inputWriter;
  if (stdin) {
    int fd = std::exchange(in.write, -1);
    try {
      inputWriter = std::thread([fd, &stdin, &stop] { writeInput(fd, *stdin, stop.fd()); });
    } catch (const std::system_error&) {
      ::close(fd);
    }
  } else {
    closeFd(in.write);
  }

  Result result;
  ExitWatcher watcher(pid);
  if (!watcher.waitUntil(deadline, cancel)) {
    result.interrupted = Clock::now() < deadline;
    result.timedOut = !result.interrupted;
    if (result.interrupted) deadline = Clock::now();
    // Only the program itself: what it started in the background is its own business.
    // Unreaped until the end, its process id cannot name another process meanwhile.
    ::kill(pid, SIGTERM);
    if (!watcher.waitUntil(Clock::now() + kGrace)) ::kill(pid, SIGKILL);
  }
  result.exitCode = exitCodeFromStatus(watcher.reap());

  auto readLimit = std::max(deadline, Clock::now()) + kGrace;
  outData.waitUntil(readLimit);
  errData.waitUntil(readLimit);
  stop.fire();
  if (inputWriter.joinable()) inputWriter.join();
  auto collectedOut = outData.take();
  auto collectedErr = errData.take();
  result.stdout = utf8OrEmpty(std::move(collectedOut.bytes));
  result.stderr = utf8OrEmpty(std::move(collectedErr.bytes));
  result.stdoutDropped = collectedOut.dropped;
  result.stderrDropped = collectedErr.dropped;
  if (result.stdoutDropped + result.stderrDropped > 0) {
    Log::warn(path + " wrote more than " + std::to_string(kMaxCapturedBytes) +
              " bytes to a stream; kept the last of each, dropped " +
              std::to_string(result.stdoutDropped + result.stderrDropped));
  }
  return result;
}

}  // namespace

std::string utf8OrEmpty(std::string bytes) {
  if (!UTF8::isValid(bytes)) return {};
  return bytes;
}

Result run(const std::string& path, const std::vector<std::string>& arguments,
           const std::optional<std::string>& stdin, double timeout,
           const std::optional<std::map<std::string, std::string>>& environment,
           const Cancellation* cancel) {
  try {
    return runChecked(path, arguments, stdin, timeout, environment, cancel);
  } catch (const std::system_error& e) {
    // Only thread creation throws here; report it like any other start failure.
    return spawnFailed(e.code().value());
  }
}

std::optional<std::string> runQuiet(const std::string& path,
                                    const std::vector<std::string>& arguments, double timeout) {
  Result r = run(path, arguments, std::nullopt, timeout, std::nullopt);
  if (r.exitCode != 0) return std::nullopt;
  return std::move(r.stdout);
}

}  // namespace vela::Shell
