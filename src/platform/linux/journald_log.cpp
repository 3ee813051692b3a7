#include "platform/system_log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

namespace vela::platform {

void writeSystemLog(SystemLogType type, std::string_view message) {
  int priority = LOG_ERR;
  switch (type) {
    case SystemLogType::debug: priority = LOG_DEBUG; break;
    case SystemLogType::info: priority = LOG_INFO; break;
    case SystemLogType::error: priority = LOG_ERR; break;
  }
  sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(),
                  "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=vela-agent", nullptr);
}

}  // namespace vela::platform
