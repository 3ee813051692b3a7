#include "runtime/runtime_status.h"

#include <filesystem>

#include "platform/file_io.h"
#include "util/canonical_json.h"
#include "util/iso_time.h"
#include "util/log.h"

namespace vela {

const char* RuntimeStatus::text(Link link) {
  switch (link) {
    case Link::off: return "off";
    case Link::connecting: return "connecting";
    case Link::connected: return "connected";
    case Link::disconnected: return "disconnected";
  }
  return "off";
}

void RuntimeStatus::start(pid_t pid, std::optional<std::string> agentID) {
  {
    MutexLock guard(lock_);
    document_ = JSONValue{{"pid", static_cast<std::int64_t>(pid)},
                          {"started_at", ISOTime::now()},
                          {"agent_id", agentID ? JSONValue(*agentID) : JSONValue()},
                          {"heartbeat", nullptr},
                          {"command_poll", nullptr},
                          {"update_check", nullptr},
                          {"gateway", text(Link::off)},
                          {"desktop_helper", false},
                          {"last_error", nullptr}};
  }
  publish();
}

void RuntimeStatus::taskEnded(const std::string& task, const Result<void>& outcome) {
  const std::string at = ISOTime::now();
  {
    MutexLock guard(lock_);
    if (!document_.isObject()) return;
    document_.set(task, JSONValue{{"at", at},
                                  {"ok", outcome.has_value()},
                                  {"error", outcome ? JSONValue() : JSONValue(outcome.error().description())}});
    if (!outcome) {
      document_.set("last_error", JSONValue{{"at", at}, {"message", task + ": " + outcome.error().description()}});
    }
  }
  publish();
}

void RuntimeStatus::gateway(Link link) {
  {
    MutexLock guard(lock_);
    if (!document_.isObject()) return;
    document_.set("gateway", text(link));
  }
  publish();
}

void RuntimeStatus::desktopHelper(bool connected) {
  {
    MutexLock guard(lock_);
    if (!document_.isObject()) return;
    document_.set("desktop_helper", connected);
  }
  publish();
}

void RuntimeStatus::error(const std::string& message) {
  {
    MutexLock guard(lock_);
    if (!document_.isObject()) return;
    document_.set("last_error", JSONValue{{"at", ISOTime::now()}, {"message", message}});
  }
  publish();
}

void RuntimeStatus::publish() {
  std::string text;
  std::uint64_t version;
  {
    MutexLock guard(lock_);
    version = ++version_;
    text = CanonicalJSON::encode(document_) + "\n";
  }
  MutexLock guard(writeLock_);
  if (stopped_ || version < written_) return;
  written_ = version;
  std::error_code ignored;
  const auto dir = std::filesystem::path(path_).parent_path();
  if (!std::filesystem::exists(dir, ignored)) (void)platform::makeDirectories(dir.string(), 0700);
  if (auto wrote = platform::writeFileDurably(path_, path_ + ".tmp", text, 0600); !wrote) {
    Log::debug("status file: " + wrote.error().message);
  }
}

void RuntimeStatus::stop() {
  MutexLock guard(writeLock_);
  stopped_ = true;
  (void)platform::removeFile(path_);
}

}  // namespace vela
