#include "desktop/ipc/desktop_ipc_server.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unix_socket.h"
#include "desktop/session_frame.h"
#include "util/canonical_json.h"
#include "util/log.h"

namespace vela {
namespace {

std::string uidText(std::optional<uid_t> uid) { return uid ? std::to_string(*uid) : "none"; }

}  // namespace

std::shared_ptr<DesktopIPCServer> DesktopIPCServer::create(std::string path, std::optional<uid_t> allowedUID) {
  return std::shared_ptr<DesktopIPCServer>(new DesktopIPCServer(std::move(path), allowedUID));
}

DesktopIPCServer::~DesktopIPCServer() { stop(); }

Result<void> DesktopIPCServer::start() {
  MutexLock guard(lifeLock_);
  wanted_ = true;
  if (listenFD_ >= 0) return {};
  return listen();
}

void DesktopIPCServer::stop() {
  {
    MutexLock guard(lifeLock_);
    wanted_ = false;
    serving_ = false;
    if (listenFD_ < 0) return;
    shutDown();
  }
  if (auto channel = takeChannel()) {
    channel->cancel();
    notifyHelper(false);
  }
}

Result<void> DesktopIPCServer::handOver(std::optional<uid_t> allowedUID) {
  bool dropped = false;
  auto handed = handOverLocked(allowedUID, dropped);
  if (dropped) notifyHelper(false);
  return handed;
}

Result<void> DesktopIPCServer::handOverLocked(std::optional<uid_t> allowedUID, bool& dropped) {
  MutexLock guard(lifeLock_);
  if (listenFD_ >= 0) shutDown();
  // The old user's helper goes before the new socket exists, so it cannot hold the
  // only slot while the new user's helper connects.
  if (auto channel = takeChannel()) {
    channel->cancel();
    dropped = true;
  }
  allowedUID_ = allowedUID;
  Log::info("desktop IPC: socket handed to uid " + uidText(allowedUID));
  if (!wanted_) return {};
  return listen();
}

std::optional<uid_t> DesktopIPCServer::allowedUID() {
  MutexLock guard(lifeLock_);
  return allowedUID_;
}

Result<void> DesktopIPCServer::listen() {
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return fail("ipc socket() failed");
  auto fd = platform::listenUnix(path_, allowedUID_);
  serving_ = fd.has_value();
  if (!fd) {
    ::close(wake);
    return tl::unexpected(fd.error());
  }
  listenFD_ = *fd;
  wake_ = wake;
  // shutDown() joins the thread, and the destructor runs shutDown(), so `this` outlives it.
  acceptThread_ = std::thread([this, listenFD = *fd, wake, allowed = allowedUID_] {
    pthread_setname_np(pthread_self(), "vela.ipc.accept");
    acceptLoop(listenFD, wake, allowed);
  });
  Log::info("desktop IPC listening at " + path_);
  return {};
}

void DesktopIPCServer::shutDown() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
  if (acceptThread_.joinable()) acceptThread_.join();
  platform::closeDescriptor(listenFD_);
  platform::closeDescriptor(wake_);
  listenFD_ = wake_ = -1;
  platform::removeSocketFile(path_);
}

void DesktopIPCServer::acceptLoop(int listenFD, int wake, std::optional<uid_t> allowed) {
  while (true) {
    pollfd fds[2] = {{listenFD, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (fds[0].revents & POLLIN) acceptOne(listenFD, allowed);
  }
}

void DesktopIPCServer::acceptOne(int listenFD, std::optional<uid_t> allowed) {
  auto peer = platform::acceptUnix(listenFD);
  if (!peer) return;
  if (peer->uid && allowed && *peer->uid != *allowed) {
    Log::warn("desktop IPC: rejected peer uid " + std::to_string(*peer->uid) + " (expected " +
              std::to_string(*allowed) + ")");
    platform::closeDescriptor(peer->fd);
    return;
  }
  auto channel = IPCChannel::create(peer->fd);
  if (!channel) return;
  auto gate = std::make_shared<RelayGate>();
  std::weak_ptr<DesktopIPCServer> weak = weak_from_this();
  channel->onLine = [weak, gate](std::string line) {
    if (auto self = weak.lock()) self->relayUp(*gate, line);
  };
  std::weak_ptr<IPCChannel> weakChannel = channel;
  channel->onClose = [weak, weakChannel, gate] {
    if (auto warning = gate->flush()) Log::warn(*warning);
    auto self = weak.lock();
    if (!self) return;
    bool wasCurrent = false;
    {
      MutexLock guard(self->lock_);
      if (self->channel_ && self->channel_ == weakChannel.lock()) {
        self->channel_.reset();
        self->gate_.reset();
        wasCurrent = true;
      }
    }
    if (wasCurrent) self->notifyHelper(false);
  };
  install(channel, gate);
  // Before the channel runs, so its close cannot be reported ahead of its arrival.
  notifyHelper(true);
  channel->resume();
  Log::info("desktop IPC: helper connected (uid " + uidText(peer->uid) + ")");
}

void DesktopIPCServer::setHelperObserver(std::function<void(bool)> observer) {
  MutexLock guard(lock_);
  helperObserver_ = std::move(observer);
}

void DesktopIPCServer::notifyHelper(bool connected) {
  std::function<void(bool)> observer;
  {
    MutexLock guard(lock_);
    observer = helperObserver_;
  }
  if (observer) observer(connected);
}

void DesktopIPCServer::install(const std::shared_ptr<IPCChannel>& channel, const std::shared_ptr<RelayGate>& gate) {
  std::shared_ptr<IPCChannel> older;
  {
    MutexLock guard(lock_);
    older = std::exchange(channel_, channel);
    gate_ = gate;
  }
  if (older) older->cancel();
}

std::shared_ptr<IPCChannel> DesktopIPCServer::takeChannel() {
  MutexLock guard(lock_);
  gate_.reset();
  return std::exchange(channel_, nullptr);
}

void DesktopIPCServer::relayUp(RelayGate& gate, std::string_view line) {
  auto verdict = gate.admit(line, RelayGate::Clock::now());
  if (verdict.warning) Log::warn(*verdict.warning);
  if (!verdict.frame) return;
  std::function<void(std::string)> upstream;
  {
    MutexLock guard(lock_);
    upstream = upstream_;
  }
  if (upstream) upstream(std::move(*verdict.frame));
}

bool DesktopIPCServer::forward(const SessionFrame& frame) {
  if (!serving_) return false;
  std::shared_ptr<IPCChannel> channel;
  std::shared_ptr<RelayGate> gate;
  {
    MutexLock guard(lock_);
    channel = channel_;
    gate = gate_;
  }
  if (!channel) return true;
  // Before the frame goes, so that the helper's first answer finds its session known.
  if (frame.type == "desktop.open") gate->opened(frame.sessionID);
  // Our encoding rather than the gateway's text: white space in that may hold line
  // breaks, and the helper would read each piece as a frame of its own. Canonical JSON
  // escapes every line break inside strings, so the frame stays one line.
  channel->send(CanonicalJSON::encode(frame.root));
  return true;
}

void DesktopIPCServer::setUpstream(std::function<void(std::string)> upstream) {
  MutexLock guard(lock_);
  upstream_ = std::move(upstream);
}

bool DesktopIPCServer::hasHelperForTesting() {
  MutexLock guard(lock_);
  return channel_ != nullptr;
}

}  // namespace vela
