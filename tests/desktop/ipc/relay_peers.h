#pragma once

// What the relay tests share: stand-in helpers (ipc_peer.py) run as throwaway users (the
// tests run as root), lines gathered from other threads, and the agent's log.

#include <sys/types.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/background_process.h"
#include "support/build_paths.h"
#include "util/log.h"
#include "util/mutex.h"

namespace vela::testing {

inline bool waitFor(const std::function<bool()>& condition) {
  return BackgroundProcess::waitUntil(condition);
}

// Lines that arrive on other threads.
class Lines {
 public:
  void add(std::string line) {
    MutexLock guard(mu_);
    lines_.push_back(std::move(line));
  }
  std::vector<std::string> get() {
    MutexLock guard(mu_);
    return lines_;
  }
  std::size_t size() { return get().size(); }
  bool contains(const std::string& text) {
    return std::ranges::any_of(
        get(), [&](const auto& line) { return line.find(text) != std::string::npos; });
  }

 private:
  Mutex mu_;
  std::vector<std::string> lines_ GUARDED_BY(mu_);
};

// What the agent logs while a LogCapture lives, as "<level>: <line>"; kept for the whole
// run, as a line may still be on its way in when the capture ends.
inline Lines logged;
struct LogCapture {
  LogCapture() {
    Log::forwardTo([](Log::Level level, std::string_view line) {
      logged.add(std::string(Log::rawValue(level)) + ": " + std::string(line));
    });
  }
  ~LogCapture() { Log::forwardTo(nullptr); }
};

// The relay's reports of dropped helper lines logged from index `from` on: how many
// reports, and the frames they count.
struct DropReports {
  int reports = 0;
  long frames = 0;
};
inline DropReports dropReports(std::size_t from = 0) {
  static const std::string kPrefix = "warn: desktop IPC: dropped ";
  DropReports total;
  auto lines = logged.get();
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (!lines[i].starts_with(kPrefix)) continue;
    ++total.reports;
    total.frames += std::stol(lines[i].substr(kPrefix.size()));
  }
  return total;
}

// Throwaway users without accounts: setpriv needs none, nor does the helper.
constexpr uid_t kAlice = 64031, kBob = 64032, kCarol = 64033;

// The stand-in helper as `uid`.
inline std::unique_ptr<BackgroundProcess> startPeer(uid_t uid,
                                                    const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"--reuid=" + std::to_string(uid),
                                   "--regid=" + std::to_string(uid),
                                   "--clear-groups",
                                   "--",
                                   "/usr/bin/python3",
                                   sourcePath("tests/desktop/ipc/ipc_peer.py")};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<BackgroundProcess>("/usr/bin/setpriv", argv);
}

inline bool said(const BackgroundProcess& peer, const std::string& text) {
  return peer.out().find(text) != std::string::npos;
}

// What the helper printed it received, one entry per line.
inline std::vector<std::string> received(const BackgroundProcess& peer) {
  std::vector<std::string> got;
  std::string out = peer.out();
  for (std::size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos;
       start = end + 1) {
    if (out.compare(start, 4, "got ") == 0) got.push_back(out.substr(start + 4, end - start - 4));
  }
  return got;
}

}  // namespace vela::testing
