#pragma once

// Tells the service manager (systemd) how the daemon is doing: ready, stopping, alive.
// Every call is a no-op when no manager listens (the agent run by hand).

#include <chrono>
#include <optional>

namespace vela::platform::ServiceManager {

void notifyReady();
void notifyStopping();
void notifyAlive();
// How often the manager's watchdog must hear notifyAlive(); absent when it does not watch.
std::optional<std::chrono::microseconds> watchdogInterval();

// Whether standard error is a stream the journal already reads (the manager's
// JOURNAL_STREAM names its device and inode), so a line written there needs no second copy.
bool standardErrorIsJournal();

}  // namespace vela::platform::ServiceManager
