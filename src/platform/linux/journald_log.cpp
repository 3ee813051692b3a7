#include "platform/system_log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include "util/mutex.h"

namespace vela::platform {

void writeSystemLog(Log::Level level, std::string_view message) {
  int priority = LOG_ERR;
  switch (level) {
    case Log::Level::debug: priority = LOG_DEBUG; break;
    case Log::Level::info: priority = LOG_INFO; break;
    case Log::Level::warn: priority = LOG_WARNING; break;
    case Log::Level::error: priority = LOG_ERR; break;
  }
  // libsystemd opens its journal socket on first use, guarded by atomics that the
  // thread sanitizer cannot see in the uninstrumented library; one writer at a time
  // makes that order visible and costs nothing next to the send itself.
  static Mutex writer;
  MutexLock guard(writer);
  sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(),
                  "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=vela-agent", nullptr);
}

}  // namespace vela::platform
