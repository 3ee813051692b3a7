#include "desktop/ipc/ipc_channel.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unix_socket.h"

namespace vela {

std::shared_ptr<IPCChannel> IPCChannel::create(int fd) {
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    platform::closeDescriptor(fd);
    return nullptr;
  }
  return std::shared_ptr<IPCChannel>(new IPCChannel(fd, wake));
}

IPCChannel::~IPCChannel() { platform::closeDescriptor(wake_); }

void IPCChannel::resume() {
  // The thread keeps the channel alive until it has closed the socket and said so.
  std::thread([self = shared_from_this()] {
    pthread_setname_np(pthread_self(), "vela.ipc.channe");
    self->run();
  }).detach();
}

void IPCChannel::send(std::string_view line) {
  {
    MutexLock guard(lock_);
    if (outbox_.size() + line.size() + 1 > kMaxOutbox) {
      ++dropped_;
      return;
    }
    outbox_.append(line);
    outbox_.push_back('\n');
  }
  wake();
}

void IPCChannel::cancel() {
  cancelled_ = true;
  wake();
}

bool IPCChannel::waitClosed(std::chrono::milliseconds limit) {
  if (!closed_.waitFor(limit)) return false;
  closed_.signal();  // for the next waiter
  return true;
}

void IPCChannel::wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto result = ::write(wake_, &one, sizeof one);
}

void IPCChannel::run() {
  while (!cancelled_) {
    bool wantWrite = written_ < writing_.size();
    if (!wantWrite) {
      MutexLock guard(lock_);
      wantWrite = !outbox_.empty();
    }
    pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] auto result = ::read(wake_, &count, sizeof count);
    }
    if (cancelled_) break;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !readAvailable()) break;
    if (wantWrite && (fds[0].revents & POLLOUT) && !writePending()) break;
  }
  platform::closeDescriptor(fd_);
  if (onClose) onClose();
  closed_.signal();
}

bool IPCChannel::readAvailable() {
  char buffer[kReadSize];
  ssize_t count = ::read(fd_, buffer, sizeof buffer);
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (count <= 0) return false;
  splitter_.feed(std::string_view(buffer, static_cast<std::size_t>(count)), [this](std::string line) {
    if (onLine) onLine(std::move(line));
  });
  return true;
}

bool IPCChannel::writePending() {
  if (written_ >= writing_.size()) {
    writing_.clear();
    written_ = 0;
    MutexLock guard(lock_);
    writing_.swap(outbox_);
  }
  while (written_ < writing_.size()) {
    ssize_t count = ::send(fd_, writing_.data() + written_, writing_.size() - written_, MSG_NOSIGNAL);
    if (count < 0 && errno == EAGAIN) return true;
    if (count < 0 && errno == EINTR) continue;
    if (count < 1) {
      // The rest of the line being written is abandoned; a peer that is gone shows up
      // as end of input on the next read.
      auto end = writing_.find('\n', written_);
      written_ = end == std::string::npos ? writing_.size() : end + 1;
      return true;
    }
    written_ += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace vela
