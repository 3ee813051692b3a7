#pragma once

// The service manager's watchdog, fed by the runtime loop: each turn of the loop says it
// is alive, and the loop never sleeps longer than half the watchdog's interval. A task
// may legitimately take longer than that (a remote script may run for hours within its
// own time limit), so while one runs a cover thread speaks for the loop; what the
// watchdog catches is a loop that stops turning between tasks. Without a watchdog
// (WATCHDOG_USEC unset) nothing here does anything.

#include <chrono>
#include <optional>
#include <thread>

#include "util/serial_queue.h"

namespace vela {

class LoopWatchdog {
 public:
  LoopWatchdog();

  void alive() const;
  // The longest the loop may wait before its next turn.
  std::optional<std::chrono::steady_clock::duration> longestSleep() const;

  // Keeps the watchdog fed until destroyed; wraps one task.
  class Cover {
   public:
    explicit Cover(const LoopWatchdog& watchdog);
    ~Cover();
    Cover(const Cover&) = delete;
    Cover& operator=(const Cover&) = delete;

   private:
    Semaphore done_;
    std::thread thread_;
  };

 private:
  std::optional<std::chrono::microseconds> interval_;
};

// A debugging aid for the watchdog: when <state dir>/debug-stall-loop exists, the loop
// removes it and then stops turning for good, as a hung loop would. Only root can
// create it in the owner-only state directory, and root can stop the daemon anyway.
void stallLoopIfRequested();

}  // namespace vela
