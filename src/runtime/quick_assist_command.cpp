// The quick-assist command: asks for a support code, redeems it and keeps the process
// alive for the one session, with the windows of the attended support flow.

#include "runtime/quick_assist_command.h"

#include <cstdio>
#include <cstdlib>
#include <deque>

#include <unistd.h>

#include "config/agent_config.h"
#include "desktop/host/desktop_module.h"
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

QuickAssistClient::PeerFactory desktopPeerFactory() {
  return []() -> Result<DesktopSessionController::Parts> {
    DesktopBackend* backend = VELA_TRY(DesktopModule::backend());
    auto media = backend->makeSessionMedia("");
    if (!media) return fail(media.error());
    DesktopSessionController::Parts parts;
    parts.peer = std::move(media->peer);
    parts.recorder = std::move(media->recording);
    parts.video = std::move(media->video);
    parts.injector = backend->makeInputInjector();
    parts.capturer = backend->makeScreenCapturer({DesktopSessionController::kFps, true});
    parts.displays = [backend] { return backend->activeDisplays(); };
    if (!parts.peer || !parts.recorder || !parts.video) return fail("agent has no WebRTC backend");
    if (!parts.capturer) return fail("capture failed: no screen capturer");
    return parts;
  };
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
    auto backend = DesktopModule::backend();
    if (!backend) Log::error(backend.error().message);
    // Only capture is asked for: without input the operator can still watch and guide.
    if (!backend || !(*backend)->screenPermissions().screenRecording) {
      Log::info("quick-assist: screen capture needs an X11 display with MIT-SHM (DISPLAY=" +
                std::string(std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "") + ")");
      QuickAssistUI::showError(kNoScreenPermission);
      return 0;
    }
  }

  MainQueue main;
  std::vector<std::shared_ptr<QuickAssistClient>> clients;
  auto factory = options.peerFactory ? options.peerFactory : desktopPeerFactory();
  auto tryConnect = [&](const std::string& entered) {
    auto client = QuickAssistClient::create(*server, entered, factory);
    clients.push_back(client);
    client->setOnStatus([](const std::string& text) { Log::info("quick-assist: " + text); });
    client->setOnClosed([&main](const std::string& reason, bool everOpened) {
      main.post([&main, reason, everOpened] {
        Log::info("quick-assist: session ended (" + reason + ", connected=" + (everOpened ? "true" : "false") + ")");
        if (everOpened) {
          QuickAssistUI::showInfo("Die Fernwartung wurde beendet.\n\nSie können dieses Programm jetzt schließen und löschen.",
                                  "Fernwartung beendet");
        } else if (reason.rfind("join_failed", 0) == 0 || reason.rfind("gateway", 0) == 0 ||
                   reason.find("failed") != std::string::npos) {
          QuickAssistUI::showError(quickAssistMessage(reason));
        }
        main.exit(0);
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
    QuickAssistUI::showError(kRetry);
    entered = QuickAssistUI::askForCode();
  }
  if (!connected) {
    Log::info("quick-assist: cancelled");
    return 0;
  }

  std::shared_ptr<DesktopIndicating> indicator;
  if (!uiTurnedOff()) {
    if (auto backend = DesktopModule::backend()) indicator = (*backend)->indicator();
  }
  if (indicator) indicator->show(kDefaultIndicatorText, "");
  int status = main.run();
  if (indicator) indicator->hide();
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
