#include "commands/system_actions.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/detached_process.h"
#include "platform/file_io.h"
#include "util/log.h"

namespace vela {
namespace {

constexpr const char* kSystemdRun = "/usr/bin/systemd-run";

class LiveSystemActions final : public SystemActions {
 public:
  Shell::Result runTool(const std::string& path, const std::vector<std::string>& arguments,
                        double timeoutSeconds) override {
    return Shell::run(path, arguments, std::nullopt, timeoutSeconds, std::nullopt);
  }

  bool spawnDetached(const std::string& path, const std::vector<std::string>& arguments) override {
    // systemd sets INVOCATION_ID for the processes of every unit it starts.
    bool insideService = std::getenv("INVOCATION_ID") != nullptr && platform::fileExists(kSystemdRun);
    auto [program, args] = detachedLaunch(path, arguments, insideService);
    auto started = platform::spawnDetached(program, args);
    if (!started) Log::debug([&] { return "detached start failed: " + started.error().description(); });
    return started.has_value();
  }

  void scheduleExit(int status, std::chrono::milliseconds delay) override {
    std::thread([status, delay] {
      std::this_thread::sleep_for(delay);
      std::fflush(nullptr);
      // Static destructors would race with the threads still running.
      std::_Exit(status);
    }).detach();
  }
};

}  // namespace

std::unique_ptr<SystemActions> SystemActions::live() { return std::make_unique<LiveSystemActions>(); }

std::pair<std::string, std::vector<std::string>> SystemActions::detachedLaunch(
    const std::string& path, const std::vector<std::string>& arguments, bool insideService) {
  if (!insideService) return {path, arguments};
  std::vector<std::string> args{"--quiet", "--collect", "--no-block", "--", path};
  args.insert(args.end(), arguments.begin(), arguments.end());
  return {kSystemdRun, std::move(args)};
}

}  // namespace vela
