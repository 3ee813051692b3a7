#include "platform/signal_source.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vela::platform {

void ignoreBrokenPipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

void blockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Result<std::unique_ptr<SignalSource>> SignalSource::create(std::string label,
                                                           std::vector<int> signals,
                                                           Handler handler) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return fail("pthread_sigmask failed");
  int sfd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (sfd < 0) return fail(std::string("signalfd: ") + std::strerror(errno));
  int efd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (efd < 0) {
    ::close(sfd);
    return fail(std::string("eventfd: ") + std::strerror(errno));
  }
  return std::unique_ptr<SignalSource>(new SignalSource(sfd, efd, std::move(label), std::move(handler)));
}

SignalSource::SignalSource(int signalFd, int stopFd, std::string label, Handler handler)
    : signalFd_(signalFd), stopFd_(stopFd), label_(std::move(label)), handler_(std::move(handler)) {
  thread_ = std::thread([this] { run(); });
}

SignalSource::~SignalSource() {
  std::uint64_t one = 1;
  ssize_t ignored = ::write(stopFd_, &one, sizeof one);
  (void)ignored;
  thread_.join();
  ::close(signalFd_);
  ::close(stopFd_);
}

void SignalSource::run() {
  pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
  for (;;) {
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    signalfd_siginfo info;
    while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      handler_(static_cast<int>(info.ssi_signo));
    }
  }
}

}  // namespace vela::platform
