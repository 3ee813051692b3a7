#pragma once

// Bytes of shell output handed to the gateway connection and not yet written to its
// socket, per session and in total. A session's PTY reader waits in waitForRoom()
// while its session or the whole connection is at the high-water mark, so the terminal
// is not read and the kernel blocks the child; it resumes below the low-water mark
// (half of each). Every charge comes with a ticket that gives the bytes back when it
// is destroyed: after the write, or when the message is dropped with its connection.
// Thread-safe.

#include <cstddef>
#include <memory>
#include <string>

#include "util/mutex.h"

namespace vela {

class SendBudget : public std::enable_shared_from_this<SendBudget> {
 public:
  // A slow operator still gets a few seconds of output at once; more only costs memory.
  static constexpr std::size_t kSessionHighWater = std::size_t{1} << 20;
  // Five busy sessions plus signalling fit; beyond it the whole connection is saturated.
  static constexpr std::size_t kConnectionHighWater = std::size_t{8} << 20;

  // Held until the bytes are written or dropped; null for nothing charged.
  using Ticket = std::shared_ptr<void>;

  class Account {
   public:
    explicit Account(std::string label) : label(std::move(label)) {}
    const std::string label;

   private:
    friend class SendBudget;
    std::size_t queued = 0;  // guarded by the budget's lock
    bool closed = false;     // guarded by the budget's lock
    bool warned = false;     // guarded by the budget's lock
  };

  static std::shared_ptr<SendBudget> create(std::size_t sessionHighWater = kSessionHighWater,
                                            std::size_t connectionHighWater = kConnectionHighWater);

  // `account` may be null for traffic that counts only toward the connection.
  Ticket charge(const std::shared_ptr<Account>& account, std::size_t bytes);
  // Blocks while the account or the connection is over its mark. False once the
  // account is closed (the caller drops its output).
  bool waitForRoom(Account& account);
  // The session ended: its waiter returns at once, now and later.
  void close(Account& account);
  std::size_t queued() const;
  bool connectionFull() const;

 private:
  struct Charge;
  SendBudget(std::size_t sessionHighWater, std::size_t connectionHighWater)
      : sessionHigh_(sessionHighWater), connectionHigh_(connectionHighWater) {}
  void release(const std::shared_ptr<Account>& account, std::size_t bytes);

  const std::size_t sessionHigh_;
  const std::size_t connectionHigh_;
  mutable Mutex lock_;
  CondVar roomMade_;
  std::size_t queued_ GUARDED_BY(lock_) = 0;
  int waiters_ GUARDED_BY(lock_) = 0;
  bool warnedConnection_ GUARDED_BY(lock_) = false;
};

}  // namespace vela
