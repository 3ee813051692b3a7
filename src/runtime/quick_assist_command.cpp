// The quick-assist command: asks for a support code, redeems it and keeps the process
// alive for the one session, with the windows of the attended support flow.

#include "runtime/quick_assist_command.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include <unistd.h>

#include "config/agent_config.h"
#include "desktop/desktop_screen.h"
#include "desktop/desktop_session_parts.h"
#include "desktop/host/desktop_module.h"
#include "desktop/recording_store.h"
#include "quickassist/quick_assist_client.h"
#include "quickassist/quick_assist_ui.h"
#include "runtime/command_handlers.h"
#include "util/log.h"
#include "util/mutex.h"
#include "util/no_ui.h"
#include "util/url.h"

namespace vela::CLI {
namespace {

constexpr auto kUploadGrace = std::chrono::seconds(120);
constexpr const char* kNoServer = "Kein Server hinterlegt — diese App muss mit Server-URL gebaut werden.";
constexpr const char* kRetry = "Code ungültig oder abgelaufen — bitte erneut versuchen.";

// The thread that runs the command plays the application's main queue: window answers
// and the end of the session are handled here, one after another.
class MainQueue {
 public:
  void post(std::function<void()> task) {
    {
      MutexLock guard(mu_);
      tasks_.push_back(std::move(task));
    }
    wake_.notifyAll();
  }
  void exit(int status) {
    {
      MutexLock guard(mu_);
      status_ = status;
    }
    wake_.notifyAll();
  }
  int run() {
    for (;;) {
      std::function<void()> task;
      {
        MutexLock guard(mu_);
        while (!status_ && tasks_.empty()) wake_.wait(mu_);
        if (tasks_.empty()) return *status_;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

 private:
  Mutex mu_;
  CondVar wake_;
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mu_);
  std::optional<int> status_ GUARDED_BY(mu_);
};

// The command shows its own banner while the operator is connected. The recording goes
// where every session's does: kept there when its upload fails.
QuickAssistClient::PeerFactory desktopPeerFactory() {
  return []() -> Result<DesktopSessionController::Parts> {
    const DesktopServices* services = VELA_TRY(DesktopModule::services());
    auto parts = makeSessionParts(*services, {RecordingStore::configured(), false});
    if (!parts) return fail(parts.error());
    return std::move(*parts);
  };
}

// The banner of the session, where one can be shown.
std::shared_ptr<DesktopIndicating> sessionBanner() {
  if (uiTurnedOff()) return nullptr;
  auto services = DesktopModule::services();
  return services && (*services)->windows ? (*services)->windows->indicator() : nullptr;
}

}  // namespace

std::string quickAssistMessage(const std::string& reason) {
  if (reason.rfind("join_failed", 0) == 0)
    return "Code ungültig oder abgelaufen — oder der Server ist nicht erreichbar. Bitte Code prüfen und erneut "
           "versuchen.";
  if (reason.rfind("gateway", 0) == 0) return "Verbindung zum Server verloren. Bitte erneut versuchen.";
  return "Verbindung fehlgeschlagen (" + reason + ").";
}

int runQuickAssist(const std::string& code, const std::optional<std::string>& serverOverride,
                   const QuickAssistOptions& options) {
  std::optional<std::string> server = serverOverride;
  if (!server) {
    auto config = AgentConfig::loadIfPresent();
    if (config) server = config->baseURL();
  }
  if (!server) {
    QuickAssistUI::showError(kNoServer);
    return 1;
  }
  if (!uiTurnedOff()) {
    auto services = DesktopModule::services();
    if (!services) Log::error(services.error().message);
    // Only capture is asked for: without input the operator can still watch and guide.
    DesktopScreen* screen = services ? (*services)->screen : nullptr;
    if (!screen || !screen->permissions().screenRecording) {
      // The backend was chosen for this session (X11, or Wayland's); it says what it lacks.
      std::string why = screen ? screen->unusable() : std::string();
      if (why.empty() && screen) {
        const char* display = std::getenv("DISPLAY");
        why = screen->name() + " capture needs a display with MIT-SHM (DISPLAY=" + (display ? display : "") + ")";
      }
      if (why.empty()) why = "no desktop module";
      Log::info("quick-assist: no screen capture: " + why);
      QuickAssistUI::showError(kNoScreenPermission);
      return 0;
    }
  }

  // Held weakly by the windows' callbacks, which may run while this function returns.
  auto main = std::make_shared<MainQueue>();
  std::vector<std::shared_ptr<QuickAssistClient>> clients;
  auto factory = options.peerFactory ? options.peerFactory : desktopPeerFactory();
  // What the person sees of the attempt under way: the session window from the code on,
  // the banner once the operator is connected. Both end the session with their button.
  std::shared_ptr<QuickAssistSessionWindow> window;
  std::shared_ptr<DesktopIndicating> banner;
  auto endedAtScreen = std::make_shared<std::atomic<bool>>(false);
  auto tryConnect = [&](const std::string& entered) {
    auto client = QuickAssistClient::create(*server, entered, factory);
    clients.push_back(client);
    // Pressed on the UI main loop. The client is closed from this thread, which started
    // it: while the code is being redeemed the press is only noted, and no retry follows.
    auto end = [weakClient = std::weak_ptr(client), weakMain = std::weak_ptr(main), endedAtScreen] {
      auto queue = weakMain.lock();
      if (!queue || endedAtScreen->exchange(true)) return;
      Log::info("quick-assist: the person at the screen ended the session");
      queue->post([weakClient] {
        if (auto self = weakClient.lock()) self->close(kEndedByUserReason);
      });
    };
    window = QuickAssistUI::openSession(end);
    banner = sessionBanner();
    if (banner) banner->setOnEndRequested(end);
    client->setOnStatus([shownWindow = std::weak_ptr(window), shownBanner = std::weak_ptr(banner)](const std::string& text) {
      Log::info("quick-assist: " + text);
      auto w = shownWindow.lock();
      if (text != QuickAssistClient::kConnectedStatus) {
        if (w) w->waiting(text);
        return;
      }
      if (w) w->running();
      // Only now does someone see the screen: the banner says so from this moment on.
      if (auto b = shownBanner.lock()) b->show(kDefaultIndicatorText, "");
    });
    client->setOnClosed([weakMain = std::weak_ptr(main), shownWindow = std::weak_ptr(window),
                         shownBanner = std::weak_ptr(banner)](const std::string& reason, bool everOpened) {
      auto queue = weakMain.lock();
      if (!queue) return;
      queue->post([queue = queue.get(), shownWindow, shownBanner, reason, everOpened] {
        Log::info("quick-assist: session ended (" + reason + ", connected=" + (everOpened ? "true" : "false") + ")");
        // Nothing may claim the session still runs once it has ended.
        if (auto b = shownBanner.lock()) b->hide();
        if (auto w = shownWindow.lock()) w->close();
        if (everOpened) {
          QuickAssistUI::showInfo("Die Fernwartung wurde beendet.\n\nSie können dieses Programm jetzt schließen und löschen.",
                                  "Fernwartung beendet");
        } else if (reason.rfind("join_failed", 0) == 0 || reason.rfind("gateway", 0) == 0 ||
                   reason.find("failed") != std::string::npos) {
          QuickAssistUI::showError(quickAssistMessage(reason));
        }
        queue->exit(0);
      });
    });
    auto started = client->start();
    if (!started) {
      Log::info("quick-assist: join failed (" + started.error().message + ")");
      return false;
    }
    return true;
  };

  std::optional<std::string> entered = code.empty() ? QuickAssistUI::askForCode() : std::optional(code);
  bool connected = false;
  while (entered && !entered->empty()) {
    if (tryConnect(*entered)) {
      connected = true;
      break;
    }
    if (window) window->close();
    window = nullptr;
    banner = nullptr;
    // Cancelled while the code was being redeemed: no retry.
    if (*endedAtScreen) break;
    QuickAssistUI::showError(kRetry);
    entered = QuickAssistUI::askForCode();
  }
  if (!connected) {
    Log::info("quick-assist: cancelled");
    return 0;
  }

  int status = main->run();
  // The recording upload must have been tried before the process goes.
  std::vector<std::string> kept;
  for (auto& client : clients) {
    if (!client->waitUntilSettled(options.uploadGrace.value_or(kUploadGrace)))
      Log::warn("quick-assist: recording upload still running after " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                   options.uploadGrace.value_or(kUploadGrace)).count()) +
                " s; the recording stays on disk");
    for (const std::string& path : client->keptRecordings()) kept.push_back(path);
  }
  // A recording the support could not receive is the person's to pass on: say where.
  for (const std::string& path : kept) {
    QuickAssistUI::showInfo("Die Aufzeichnung der Fernwartung konnte nicht hochgeladen werden.\n\n"
                            "Sie liegt unter:\n" + path + "\n\nBitte geben Sie sie Ihrem IT-Support weiter.",
                            "Aufzeichnung nicht hochgeladen");
  }
  return status;
}

QuickAssistArguments quickAssistArguments(const Args& args) {
  QuickAssistArguments parsed;
  std::optional<std::string> serverText;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--server") continue;
    if (i + 1 < args.size()) {
      serverText = args[i + 1];
      if (URL::parse(*serverText)) parsed.server = *serverText;
    }
    break;
  }
  // The server's text is never the code, wherever it stands.
  for (const auto& arg : args) {
    if (arg == serverText || (!arg.empty() && arg[0] == '-')) continue;
    parsed.code = arg;
    break;
  }
  return parsed;
}

Result<int> quickAssistCommand(Args args) {
  auto parsed = quickAssistArguments(args);
  int status = runQuickAssist(parsed.code, parsed.server);
  // The session is over and its upload tried, but GStreamer's and ICE's own threads may
  // still be winding down; static destructors must not run under them.
  std::fflush(nullptr);
  ::_exit(status);
}

}  // namespace vela::CLI
