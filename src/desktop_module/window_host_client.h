#pragma once

// The session-serving side of a window host (window_host.h): starts the agent's own
// executable again as the host, and offers the banner and the consent dialog by proxy
// over a socket pair. The host dying (GTK ends it with the compositor) is seen as the
// socket closing: a consent still open counts as declined, a banner not yet answered
// as not shown, and a banner on screen as gone. The session itself learns that the
// compositor went from its capture. Thread-safe; the proxies' callbacks run on the
// channel's thread.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

#include "desktop/desktop_consenting.h"
#include "desktop/desktop_indicating.h"
#include "desktop/ipc/ipc_channel.h"
#include "desktop_module/window_host_message.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class WindowHostClient : public std::enable_shared_from_this<WindowHostClient> {
 public:
  static Result<std::shared_ptr<WindowHostClient>> start();
  // Closing the socket ends the host, and with it every window it shows.
  ~WindowHostClient();
  WindowHostClient(const WindowHostClient&) = delete;
  WindowHostClient& operator=(const WindowHostClient&) = delete;

  // False once the host ended.
  bool alive() const EXCLUDES(lock_);
  // Each proxy keeps the host running while it lives.
  std::shared_ptr<DesktopIndicating> makeIndicator();
  std::shared_ptr<DesktopConsenting> makeConsent();

  void showBanner(std::uint64_t id, const std::string& text, const std::string& logo,
                  DesktopIndicating::Shown shown, DesktopIndicating::EndRequested ended)
      EXCLUDES(lock_);
  void hideBanner(std::uint64_t id) EXCLUDES(lock_);
  void requestConsent(std::uint64_t id, WindowHostMessage request,
                      DesktopConsenting::Completion completion) EXCLUDES(lock_);
  std::uint64_t nextId() { return ++lastId_; }

 private:
  struct Banner {
    DesktopIndicating::Shown shown;
    DesktopIndicating::EndRequested ended;
  };

  WindowHostClient(pid_t pid, std::shared_ptr<IPCChannel> channel)
      : pid_(pid), channel_(std::move(channel)) {}
  void received(const std::string& line) EXCLUDES(lock_);
  void hostEnded() EXCLUDES(lock_);

  const pid_t pid_;
  const std::shared_ptr<IPCChannel> channel_;
  std::atomic<std::uint64_t> lastId_{0};

  mutable Mutex lock_;
  bool ended_ GUARDED_BY(lock_) = false;
  bool ready_ GUARDED_BY(lock_) = false;
  std::map<std::uint64_t, Banner> banners_ GUARDED_BY(lock_);
  std::map<std::uint64_t, DesktopConsenting::Completion> consents_ GUARDED_BY(lock_);
};

}  // namespace vela
