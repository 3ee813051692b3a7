#pragma once

// Turns incoming shell frames into interactive shells on pseudo-terminals and reports
// back through `send`: opens sessions up to a cap, feeds keystrokes, resizes, batches
// output (16 ms or 8 KiB), enforces idle and total-duration watchdogs and tears
// sessions down. Thread-safe: handle() and killAll() may be called from any thread;
// `send` is called from the sessions' own queues, possibly concurrently for different
// sessions, and never while the session table's lock is held. Output frames carry a
// ticket of the send budget; whoever queues the frame keeps it until the bytes are
// written, and a session whose output is not drained stops reading its terminal.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "remote/pty_session.h"
#include "remote/send_budget.h"
#include "remote/shell_frames.h"
#include "util/mutex.h"

namespace vela {

class ShellSessionManager : public std::enable_shared_from_this<ShellSessionManager> {
 public:
  // The ticket is null for frames that are not charged (everything but output).
  using Send = std::function<void(const OutgoingShellFrame&, SendBudget::Ticket)>;

  struct Options {
    int maxSessions = 5;
    double idleTimeout = 1800;    // seconds; 0 or less disables
    double maxDuration = 14400;   // seconds; 0 or less disables
    std::optional<std::string> shellOverride;
    // Shared with the connection's other traffic; a private one when absent.
    std::shared_ptr<SendBudget> budget;
  };

  class Session;

  static std::shared_ptr<ShellSessionManager> create(Send send, Options options);
  ~ShellSessionManager();
  ShellSessionManager(const ShellSessionManager&) = delete;
  ShellSessionManager& operator=(const ShellSessionManager&) = delete;

  void handle(const IncomingShellFrame& frame);
  // Ends every session without any frame; for a lost or closed connection.
  void killAll();
  int activeCount() const;

  // The shell a session runs for the requested value: the override, an absolute
  // request, an absolute $SHELL, else /bin/bash.
  std::string resolveShell(const std::string& requested) const;

 private:
  friend class Session;
  ShellSessionManager(Send send, Options options);

  void open(const IncomingShellFrame::Open& frame);
  // `expected` limits the tear-down to that very session (not a newer one that
  // reused the id).
  void tearDown(const std::string& id, bool emitExit, const std::string& reason,
                const Session* expected = nullptr);
  void childExited(const std::shared_ptr<Session>& session, PTYSession::Exit exit);
  std::shared_ptr<Session> find(const std::string& id) const;
  void emit(const OutgoingShellFrame& frame, SendBudget::Ticket ticket = nullptr) const {
    send_(frame, std::move(ticket));
  }

  const Send send_;
  const Options options_;
  const std::shared_ptr<SendBudget> budget_;
  mutable Mutex lock_;
  std::map<std::string, std::shared_ptr<Session>> sessions_ GUARDED_BY(lock_);
};

}  // namespace vela
