#include "commands/system_actions.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/detached_process.h"
#include "platform/file_io.h"
#include "platform/logged_in_users.h"
#include "util/log.h"

namespace vela {
namespace {

constexpr const char* kSystemdRun = "/usr/bin/systemd-run";
constexpr const char* kDpkg = "/usr/bin/dpkg";

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

  std::optional<std::string> owningPackage(const std::string& path) override {
    Shell::Result search = Shell::run(kDpkg, {"-S", path}, std::nullopt, 30, std::nullopt);
    if (search.exitCode != 0) return std::nullopt;
    return packageFromSearch(search.stdout, path);
  }

  std::vector<std::string> loggedInUsers() override { return platform::loggedInUsers(); }
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

std::optional<std::string> SystemActions::packageFromSearch(std::string_view output,
                                                            std::string_view path) {
  // Each line is "<package>[, <package>…]: <path>"; a package name holds no ", " and
  // no ": ", its architecture qualifier only a single ':'.
  while (!output.empty()) {
    auto end = output.find('\n');
    std::string_view line = output.substr(0, end);
    output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
    auto separator = line.find(": ");
    if (line.starts_with("diversion by ") || separator == std::string_view::npos ||
        line.substr(separator + 2) != path) {
      continue;
    }
    std::string_view owner = line.substr(0, separator);
    owner = owner.substr(0, owner.find(", "));
    if (!owner.empty()) return std::string(owner);
  }
  return std::nullopt;
}

}  // namespace vela
