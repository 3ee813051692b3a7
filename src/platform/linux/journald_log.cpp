#include "platform/system_log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

namespace vela::platform {

void writeSystemLog(Log::Level level, std::string_view message) {
  int priority = LOG_ERR;
  switch (level) {
    case Log::Level::debug: priority = LOG_DEBUG; break;
    case Log::Level::info: priority = LOG_INFO; break;
    case Log::Level::warn: priority = LOG_WARNING; break;
    case Log::Level::error: priority = LOG_ERR; break;
  }
  sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(),
                  "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=vela-agent", nullptr);
}

}  // namespace vela::platform
