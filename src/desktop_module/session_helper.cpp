#include "desktop_module/session_helper.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "desktop/desktop_frames.h"
#include "desktop/desktop_session_manager.h"
#include "desktop/ipc/desktop_ipc_client.h"
#include "ui/ui_runtime.h"
#include "util/log.h"
#include "util/retired_threads.h"

namespace vela {
namespace {

constexpr int kConnectAttempts = 150;
constexpr auto kRetryDelay = std::chrono::seconds(2);
// Long enough for the recordings to be finalised, short enough for the service
// manager to start a fresh helper soon.
constexpr auto kFinaliseLimit = std::chrono::seconds(20);

}  // namespace

int runSessionHelper(const DesktopServices& services, const std::string& socketPath) {
  UiRuntime::adoptThisThread();
  auto client = std::make_shared<DesktopIPCClient>(socketPath);
  std::weak_ptr<DesktopIPCClient> weakClient = client;
  auto manager = DesktopSessionManager::create(
      [weakClient](const std::string& frame) {
        if (auto self = weakClient.lock()) self->send(frame);
      },
      [&services] { return &services; }, DesktopSessionManager::Options{});
  std::weak_ptr<DesktopSessionManager> weakManager = manager;
  client->onLine = [weakManager](std::string line) {
    auto frame = IncomingDesktopFrame::parse(line);
    if (!frame) return;
    if (auto self = weakManager.lock()) self->handle(*frame);
  };
  auto ended = std::make_shared<std::atomic<bool>>(false);
  client->onClose = [weakManager, ended] {
    Log::warn("desktop helper: daemon IPC closed — killing sessions, exiting for relaunch");
    auto self = weakManager.lock();
    if (!self) return UiRuntime::quitLoop();
    // A session that never finishes closing must not keep the helper from its relaunch.
    std::thread([ended] {
      std::this_thread::sleep_for(kFinaliseLimit);
      if (!ended->exchange(true)) UiRuntime::quitLoop();
    }).detach();
    self->killAll([ended] {
      if (!ended->exchange(true)) UiRuntime::quitLoop();
    });
  };

  for (int attempt = 1;; ++attempt) {
    if (client->connect()) break;
    if (attempt == kConnectAttempts) {
      Log::error("desktop helper: could not reach daemon IPC");
      return 1;
    }
    std::this_thread::sleep_for(kRetryDelay);
  }
  Log::info("desktop helper: connected to daemon IPC; awaiting sessions");
  UiRuntime::runLoop();
  // The sessions are closed and their recordings final, but GStreamer's and ICE's own
  // threads may still be winding down; static destructors must not run under them. Our
  // own teardown threads are waited for, as main() does.
  RetiredThreads::joinAll(std::chrono::seconds(1));
  std::fflush(nullptr);
  ::_exit(0);
}

}  // namespace vela
