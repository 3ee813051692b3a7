#include "platform/service_manager.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace vela::platform::ServiceManager {

void notifyReady() { sd_notify(0, "READY=1"); }

void notifyStopping() { sd_notify(0, "STOPPING=1"); }

void notifyAlive() { sd_notify(0, "WATCHDOG=1"); }

std::optional<std::chrono::microseconds> watchdogInterval() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
  return std::chrono::microseconds(usec);
}

bool standardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  if (std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return st.st_dev == device && st.st_ino == inode;
}

}  // namespace vela::platform::ServiceManager
