#pragma once

// What the relay tests share: throwaway local users (the tests run as root), a seat
// whose active user the test sets, the log lines, and the stand-in helper script.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/active_seat_user.h"
#include "support/background_process.h"
#include "util/mutex.h"

namespace vela::testing {

// Created with useradd, removed with userdel.
class TestUser {
 public:
  TestUser();
  ~TestUser();
  TestUser(const TestUser&) = delete;
  TestUser& operator=(const TestUser&) = delete;
  bool ok() const { return uid_ != 0; }
  uid_t uid() const { return uid_; }
  // argv prefix that runs a program as this user.
  std::vector<std::string> runAs() const;

 private:
  std::string name_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

class TestSeat final : public platform::ActiveSeatUser {
 public:
  explicit TestSeat(std::optional<uid_t> user) : user_(user) {}
  std::optional<uid_t> current() override {
    MutexLock guard(mu_);
    return user_;
  }
  Result<void> watch(Changed changed) override {
    MutexLock guard(mu_);
    changed_ = std::move(changed);
    return {};
  }
  void stop() override {
    MutexLock guard(mu_);
    changed_ = nullptr;
  }
  void switchTo(std::optional<uid_t> user) {
    Changed changed;
    {
      MutexLock guard(mu_);
      user_ = user;
      changed = changed_;
    }
    if (changed) changed(user);
  }

 private:
  Mutex mu_;
  std::optional<uid_t> user_ GUARDED_BY(mu_);
  Changed changed_ GUARDED_BY(mu_);
};

// Every line the agent logs while the capture lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  bool contains(const std::string& text) const;
};

// The stand-in helper (ipc_peer.py) as `user`.
std::unique_ptr<BackgroundProcess> startPeer(const TestUser& user, const std::vector<std::string>& args);

}  // namespace vela::testing
