#include "remote/desktop/ipc/ipc_test_support.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "util/log.h"
#include "support/build_paths.h"

namespace vela::testing {
namespace {

Mutex logMu;
std::vector<std::string>* logLines = nullptr;  // set while a capture lives

void captureLine(Log::Level, std::string_view message) {
  MutexLock guard(logMu);
  if (logLines) logLines->emplace_back(message);
}

}  // namespace

TestUser::TestUser() {
  static std::atomic<int> next{0};
  name_ = "vipc" + std::to_string(::getpid()) + "u" + std::to_string(next++);
  std::string command = "useradd -M -N -s /usr/sbin/nologin " + name_ + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) return;
  if (passwd* entry = ::getpwnam(name_.c_str())) {
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
  }
}

TestUser::~TestUser() {
  std::string command = "userdel " + name_ + " 2>/dev/null";
  [[maybe_unused]] int status = std::system(command.c_str());
}

std::vector<std::string> TestUser::runAs() const {
  return {"--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_), "--clear-groups", "--"};
}

LogCapture::LogCapture() {
  {
    MutexLock guard(logMu);
    logLines = new std::vector<std::string>();
  }
  Log::forwardTo(&captureLine);
}

LogCapture::~LogCapture() {
  Log::forwardTo(nullptr);
  MutexLock guard(logMu);
  delete std::exchange(logLines, nullptr);
}

bool LogCapture::contains(const std::string& text) const {
  MutexLock guard(logMu);
  for (const auto& line : *logLines)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

std::unique_ptr<BackgroundProcess> startPeer(const TestUser& user, const std::vector<std::string>& args) {
  auto argv = user.runAs();
  argv.push_back("/usr/bin/python3");
  argv.push_back(sourcePath("tests/remote/desktop/ipc/ipc_peer.py"));
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<BackgroundProcess>("/usr/bin/setpriv", argv);
}

}  // namespace vela::testing
