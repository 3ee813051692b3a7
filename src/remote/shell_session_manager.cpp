#include "remote/shell_session_manager.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "util/log.h"
#include "util/serial_queue.h"

namespace vela {

namespace {

constexpr std::size_t kFlushBytes = 8192;
constexpr auto kBatchDelay = std::chrono::milliseconds(16);

std::uint16_t clampDimension(std::int64_t v) {
  return static_cast<std::uint16_t>(std::clamp<std::int64_t>(v, 0, 65535));
}

// What one output frame costs in the send queue: Base64 plus the JSON around it.
std::size_t frameCost(std::size_t bytes, const std::string& id) {
  return 4 * ((bytes + 2) / 3) + 64 + id.size();
}

SerialQueue::Clock::duration seconds(double s) {
  return std::chrono::duration_cast<SerialQueue::Clock::duration>(
      std::chrono::duration<double>(s));
}

}  // namespace

// One shell: its terminal, its output batch and its watchdogs. Output is sent only
// from batchQueue_, so frames of one session keep their order, and the closing `exit`
// is queued behind whatever output was already taken.
class ShellSessionManager::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(std::string id, std::shared_ptr<PTYSession> pty,
          std::weak_ptr<ShellSessionManager> manager, std::shared_ptr<SendBudget> budget,
          double idleTimeout, double maxDuration)
      : id(std::move(id)),
        pty(std::move(pty)),
        manager_(std::move(manager)),
        budget_(std::move(budget)),
        account_(std::make_shared<SendBudget::Account>(this->id)),
        idleTimeout_(idleTimeout),
        maxDuration_(maxDuration),
        batchQueue_(std::make_shared<SerialQueue>("vela.shell.batch")),
        timerQueue_(std::make_shared<SerialQueue>("vela.shell.watchdog")) {}

  const std::string id;
  const std::shared_ptr<PTYSession> pty;

  // On the PTY reader thread, which waits here while the gateway is not draining.
  void enqueueOutput(Bytes chunk) {
    if (!budget_->waitForRoom(*account_)) return;
    resetIdle();
    MutexLock lock(bLock_);
    if (ended_) return;
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
    if (buffer_.size() >= kFlushBytes) {
      Bytes taken = std::exchange(buffer_, {});
      flushScheduled_ = false;
      lock.unlock();
      auto ticket = budget_->charge(account_, frameCost(taken.size(), id));
      batchQueue_->async(
          [self = shared_from_this(), taken = std::move(taken),
           ticket = std::move(ticket)]() mutable { self->flush(taken, std::move(ticket)); });
    } else if (!flushScheduled_) {
      flushScheduled_ = true;
      lock.unlock();
      std::weak_ptr<Session> weak = weak_from_this();
      batchQueue_->after(kBatchDelay, [weak] {
        if (auto self = weak.lock()) self->drain();
      });
    }
  }

  // Ends output for good; with `keepTail` the bytes still waiting for their drain are
  // sent before the final frame.
  void finish(bool keepTail, std::optional<OutgoingShellFrame> last) {
    Bytes tail;
    {
      MutexLock lock(bLock_);
      ended_ = true;
      if (keepTail) tail = std::exchange(buffer_, {});
      buffer_.clear();
    }
    budget_->close(*account_);
    if (!keepTail && !last) return;
    auto ticket = tail.empty() ? nullptr : budget_->charge(account_, frameCost(tail.size(), id));
    batchQueue_->async([self = shared_from_this(), tail = std::move(tail), last = std::move(last),
                        ticket = std::move(ticket)]() mutable {
      self->flush(tail, std::move(ticket));
      if (last) {
        if (auto m = self->manager_.lock()) m->emit(*last);
      }
    });
  }

  void startWatchdogs() {
    timerQueue_->async([weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self) return;
      if (self->maxDuration_ > 0) {
        self->maxTimer_ = self->timerQueue_->after(seconds(self->maxDuration_), [weak] {
          if (auto s = weak.lock()) s->watchdogFired("max_duration");
        });
      }
      self->armIdle();
    });
  }

  void resetIdle() {
    if (idleTimeout_ <= 0) return;
    timerQueue_->async([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->armIdle();
    });
  }

  void stopTimers() {
    timerQueue_->async([weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self) return;
      if (self->idleTimer_) self->timerQueue_->cancel(*self->idleTimer_);
      if (self->maxTimer_) self->timerQueue_->cancel(*self->maxTimer_);
      self->idleTimer_.reset();
      self->maxTimer_.reset();
    });
  }

 private:
  void drain() {
    Bytes taken;
    {
      MutexLock lock(bLock_);
      taken = std::exchange(buffer_, {});
      flushScheduled_ = false;
      if (ended_) return;
    }
    if (taken.empty()) return;
    flush(taken, budget_->charge(account_, frameCost(taken.size(), id)));
  }

  void flush(const Bytes& bytes, SendBudget::Ticket ticket) {
    if (bytes.empty()) return;
    if (auto m = manager_.lock()) {
      m->emit(OutgoingShellFrame{OutgoingShellFrame::Stdout{id, bytes}}, std::move(ticket));
    }
  }

  // Runs on timerQueue_.
  void armIdle() {
    if (idleTimeout_ <= 0) return;
    if (idleTimer_) timerQueue_->cancel(*idleTimer_);
    std::weak_ptr<Session> weak = weak_from_this();
    idleTimer_ = timerQueue_->after(seconds(idleTimeout_), [weak] {
      if (auto s = weak.lock()) s->watchdogFired("idle_timeout");
    });
  }

  void watchdogFired(const std::string& reason) {
    auto m = manager_.lock();
    if (!m) return;
    Log::warn("shell session " + id + " local watchdog: " + reason);
    m->tearDown(id, true, reason, this);
  }

  const std::weak_ptr<ShellSessionManager> manager_;
  const std::shared_ptr<SendBudget> budget_;
  const std::shared_ptr<SendBudget::Account> account_;
  const double idleTimeout_;
  const double maxDuration_;
  Mutex bLock_;
  Bytes buffer_ GUARDED_BY(bLock_);
  bool flushScheduled_ GUARDED_BY(bLock_) = false;
  bool ended_ GUARDED_BY(bLock_) = false;
  // The last reference to a session may go in a task on one of these queues.
  const std::shared_ptr<SerialQueue> batchQueue_;
  const std::shared_ptr<SerialQueue> timerQueue_;
  // Touched only on timerQueue_.
  std::optional<SerialQueue::TimerID> idleTimer_;
  std::optional<SerialQueue::TimerID> maxTimer_;
};

std::shared_ptr<ShellSessionManager> ShellSessionManager::create(Send send, Options options) {
  return std::shared_ptr<ShellSessionManager>(
      new ShellSessionManager(std::move(send), std::move(options)));
}

ShellSessionManager::ShellSessionManager(Send send, Options options)
    : send_(std::move(send)),
      options_(std::move(options)),
      budget_(options_.budget ? options_.budget : SendBudget::create()) {}

ShellSessionManager::~ShellSessionManager() {
  std::map<std::string, std::shared_ptr<Session>> remaining;
  {
    MutexLock lock(lock_);
    remaining.swap(sessions_);
  }
  for (auto& [id, session] : remaining) {
    session->stopTimers();
    session->pty->terminate();
    session->finish(false, std::nullopt);
  }
}

void ShellSessionManager::handle(const IncomingShellFrame& frame) {
  std::visit(
      [this](const auto& p) {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, IncomingShellFrame::Open>) {
          open(p);
        } else if constexpr (std::is_same_v<T, IncomingShellFrame::Stdin>) {
          auto session = find(p.sessionID);
          if (!session) return;
          session->pty->write(p.data);
          session->resetIdle();
        } else if constexpr (std::is_same_v<T, IncomingShellFrame::Resize>) {
          auto session = find(p.sessionID);
          if (!session) return;
          session->pty->resize(clampDimension(p.rows), clampDimension(p.cols));
        } else {
          tearDown(p.sessionID, true, p.reason);
        }
      },
      frame.payload);
}

std::string ShellSessionManager::resolveShell(const std::string& requested) const {
  if (options_.shellOverride) return *options_.shellOverride;
  if (requested != "auto" && requested.starts_with("/")) return requested;
  if (const char* shell = std::getenv("SHELL"); shell && shell[0] == '/') return shell;
  return "/bin/bash";
}

void ShellSessionManager::open(const IncomingShellFrame::Open& frame) {
  const std::string& id = frame.sessionID;
  bool full;
  {
    MutexLock lock(lock_);
    if (sessions_.contains(id)) return;
    full = static_cast<int>(sessions_.size()) >= options_.maxSessions;
  }
  if (full) {
    emit(OutgoingShellFrame{OutgoingShellFrame::Error{
        id, "too_many_sessions",
        "agent session cap (" + std::to_string(options_.maxSessions) + ") reached"}});
    return;
  }
  std::string shell = resolveShell(frame.shell);
  auto pty = PTYSession::spawn(shell, {"-i"}, {{"TERM", "xterm-256color"}},
                               clampDimension(frame.rows), clampDimension(frame.cols));
  if (!pty) {
    emit(OutgoingShellFrame{OutgoingShellFrame::Error{id, "spawn_failed", pty.error().description()}});
    return;
  }
  auto session = std::make_shared<Session>(id, *pty, weak_from_this(), budget_,
                                           options_.idleTimeout, options_.maxDuration);
  {
    MutexLock lock(lock_);
    sessions_[id] = session;
  }
  Log::info("shell session " + id + " opened: " + shell + " pid " +
            std::to_string((*pty)->pid()) + " (" + std::to_string(frame.cols) + "x" +
            std::to_string(frame.rows) + ")");
  emit(OutgoingShellFrame{OutgoingShellFrame::Opened{id, (*pty)->pid(), shell}});
  std::weak_ptr<Session> weakSession = session;
  std::weak_ptr<ShellSessionManager> weakManager = weak_from_this();
  session->pty->startReading(
      [weakSession](Bytes chunk) {
        if (auto s = weakSession.lock()) s->enqueueOutput(std::move(chunk));
      },
      [weakSession, weakManager](PTYSession::Exit exit) {
        auto s = weakSession.lock();
        auto m = weakManager.lock();
        if (s && m) m->childExited(s, exit);
      });
  session->startWatchdogs();
}

std::shared_ptr<ShellSessionManager::Session> ShellSessionManager::find(const std::string& id) const {
  MutexLock lock(lock_);
  auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : it->second;
}

void ShellSessionManager::tearDown(const std::string& id, bool emitExit, const std::string& reason,
                                   const Session* expected) {
  std::shared_ptr<Session> session;
  {
    MutexLock lock(lock_);
    auto it = sessions_.find(id);
    if (it == sessions_.end() || (expected && it->second.get() != expected)) return;
    session = std::move(it->second);
    sessions_.erase(it);
  }
  session->stopTimers();
  session->pty->terminate();
  std::optional<OutgoingShellFrame> exit;
  if (emitExit) exit = OutgoingShellFrame{OutgoingShellFrame::Exit{id, std::nullopt, 1}};
  session->finish(false, std::move(exit));
  Log::info("shell session " + id + " torn down (" + reason + ")");
}

void ShellSessionManager::childExited(const std::shared_ptr<Session>& session,
                                      PTYSession::Exit exit) {
  session->stopTimers();
  {
    MutexLock lock(lock_);
    auto it = sessions_.find(session->id);
    // Whoever removes the session decides its one `exit`; a tear-down got here first.
    if (it == sessions_.end() || it->second != session) return;
    sessions_.erase(it);
  }
  std::optional<std::int64_t> code, signal;
  if (exit.code) code = *exit.code;
  if (exit.signal) signal = *exit.signal;
  session->finish(true, OutgoingShellFrame{OutgoingShellFrame::Exit{session->id, code, signal}});
}

void ShellSessionManager::killAll() {
  std::vector<std::string> ids;
  {
    MutexLock lock(lock_);
    for (const auto& [id, session] : sessions_) ids.push_back(id);
  }
  for (const auto& id : ids) tearDown(id, false, "connection_dropped");
}

int ShellSessionManager::activeCount() const {
  MutexLock lock(lock_);
  return static_cast<int>(sessions_.size());
}

}  // namespace vela
