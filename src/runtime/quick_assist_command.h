#pragma once

// The attended support flow from the command line (`quick-assist [--server URL] [CODE]`)
// and from the start-up chain: redeem a support code, run the one session, and leave
// only after its recording upload was tried (at most two minutes after the end). The
// session window tells the person what is happening; the banner shows only while the
// operator is connected; either ends the session ("ended_by_user").

#include <chrono>
#include <optional>
#include <string>

#include "quickassist/quick_assist_client.h"
#include "runtime/cli.h"

namespace vela::CLI {

// Shown when this process cannot capture the screen: on Linux that takes an X11 session,
// not a permission the person could grant.
inline constexpr const char* kNoScreenPermission =
    "Der Bildschirm kann nicht aufgenommen werden. Bitte starten Sie die Fernwartung in einer grafischen "
    "X11-Sitzung erneut.";

struct QuickAssistOptions {
  QuickAssistClient::PeerFactory peerFactory;  // none: the desktop module's
  std::optional<std::chrono::milliseconds> uploadGrace;
};

int runQuickAssist(const std::string& code, const std::optional<std::string>& serverOverride,
                   const QuickAssistOptions& options = {});
std::string quickAssistMessage(const std::string& reason);

// The server is the argument after the first "--server" (when it parses as a URL); the
// code is the first argument that is neither an option nor that server value.
struct QuickAssistArguments {
  std::string code;
  std::optional<std::string> server;
};
QuickAssistArguments quickAssistArguments(const Args& args);

}  // namespace vela::CLI
