#include "remote/send_budget.h"

#include "util/log.h"

namespace vela {

std::shared_ptr<SendBudget> SendBudget::create(std::size_t sessionHighWater,
                                               std::size_t connectionHighWater) {
  return std::shared_ptr<SendBudget>(new SendBudget(sessionHighWater, connectionHighWater));
}

// Holds the budget weakly: a budget gone first has nobody left to tell.
struct SendBudget::Charge {
  Charge(std::weak_ptr<SendBudget> budget, std::shared_ptr<Account> account, std::size_t bytes)
      : budget(std::move(budget)), account(std::move(account)), bytes(bytes) {}
  Charge(const Charge&) = delete;
  Charge& operator=(const Charge&) = delete;
  ~Charge() {
    if (auto self = budget.lock()) self->release(account, bytes);
  }
  const std::weak_ptr<SendBudget> budget;
  const std::shared_ptr<Account> account;
  const std::size_t bytes;
};

SendBudget::Ticket SendBudget::charge(const std::shared_ptr<Account>& account, std::size_t bytes) {
  {
    MutexLock lock(lock_);
    queued_ += bytes;
    if (account) account->queued += bytes;
  }
  return std::make_shared<Charge>(weak_from_this(), account, bytes);
}

void SendBudget::release(const std::shared_ptr<Account>& account, std::size_t bytes) {
  bool wake;
  {
    MutexLock lock(lock_);
    queued_ -= bytes;
    if (account) account->queued -= bytes;
    wake = waiters_ > 0;
  }
  if (wake) roomMade_.notifyAll();
}

bool SendBudget::waitForRoom(Account& account) {
  MutexLock lock(lock_);
  if (account.closed) return false;
  bool sessionFull = account.queued >= sessionHigh_;
  bool connectionFull = queued_ >= connectionHigh_;
  if (!sessionFull && !connectionFull) return true;
  std::string line;
  if (sessionFull && !account.warned) {
    account.warned = true;
    line = "shell session " + account.label + ": gateway not draining; output paused at " +
           std::to_string(sessionHigh_ >> 10) + " KiB queued";
  } else if (connectionFull && !warnedConnection_) {
    warnedConnection_ = true;
    line = "gateway: send queue full (" + std::to_string(connectionHigh_ >> 10) +
           " KiB); shell output paused";
  }
  if (!line.empty()) {
    lock.unlock();
    Log::warn(line);
    lock.lock();
  }
  ++waiters_;
  while (!account.closed &&
         (account.queued > sessionHigh_ / 2 || queued_ > connectionHigh_ / 2)) {
    roomMade_.wait(lock_);
  }
  --waiters_;
  return !account.closed;
}

void SendBudget::close(Account& account) {
  {
    MutexLock lock(lock_);
    account.closed = true;
  }
  roomMade_.notifyAll();
}

std::size_t SendBudget::queued() const {
  MutexLock lock(lock_);
  return queued_;
}

bool SendBudget::connectionFull() const {
  MutexLock lock(lock_);
  return queued_ >= connectionHigh_;
}

}  // namespace vela
