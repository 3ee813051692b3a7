#include "desktop_module/window_host.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

#include "desktop/ipc/ipc_channel.h"
#include "desktop_module/window_host_message.h"
#include "ui/desktop_consent.h"
#include "ui/desktop_indicator.h"
#include "ui/main_loop.h"
#include "ui/ui_runtime.h"
#include "util/log.h"

namespace vela {
namespace {

// A dialog nobody answers must not stay open for longer than any session waits.
constexpr std::int64_t kMaxConsentMs = 10 * 60 * 1000;

// The windows by the parent's ids. Touched only on the main loop.
class WindowHostServer : public std::enable_shared_from_this<WindowHostServer> {
 public:
  explicit WindowHostServer(std::shared_ptr<IPCChannel> channel) : channel_(std::move(channel)) {}

  void handle(const WindowHostMessage& message) {
    switch (message.kind) {
      case WindowHostMessage::Kind::banner:
        return showBanner(message);
      case WindowHostMessage::Kind::hide:
        if (auto banner = banners_.find(message.id); banner != banners_.end()) {
          banner->second->hide();
          banners_.erase(banner);
        }
        return;
      case WindowHostMessage::Kind::consent:
        return askConsent(message);
      default:
        return;
    }
  }

 private:
  void reply(WindowHostMessage message) { channel_->send(message.encode()); }

  void showBanner(const WindowHostMessage& message) {
    auto banner = DesktopIndicator::create();
    std::weak_ptr<WindowHostServer> weak = weak_from_this();
    const std::uint64_t id = message.id;
    banner->setOnEndRequested([weak, id] {
      if (auto self = weak.lock()) self->reply({.kind = WindowHostMessage::Kind::end, .id = id});
    });
    banner->show(message.text, message.logo, [weak, id](bool onScreen) {
      if (auto self = weak.lock())
        self->reply({.kind = WindowHostMessage::Kind::shown, .id = id, .flag = onScreen});
    });
    banners_[id] = std::move(banner);
  }

  void askConsent(const WindowHostMessage& message) {
    std::weak_ptr<WindowHostServer> weak = weak_from_this();
    const std::uint64_t id = message.id;
    const auto timeout =
        std::chrono::milliseconds(std::clamp<std::int64_t>(message.timeoutMs, 0, kMaxConsentMs));
    DesktopConsent().request(
        timeout, message.operatorName, message.brandName, message.logo, message.flag,
        [weak, id](bool accepted) {
          if (auto self = weak.lock())
            self->reply({.kind = WindowHostMessage::Kind::answer, .id = id, .flag = accepted});
        });
  }

  const std::shared_ptr<IPCChannel> channel_;
  std::map<std::uint64_t, std::shared_ptr<DesktopIndicator>> banners_;
};

}  // namespace

int runWindowHost() {
  UiRuntime::adoptThisThread(false);
  if (!UiRuntime::available()) return 1;  // said why; the parent sees the socket close
  auto channel = IPCChannel::create(STDIN_FILENO);
  if (!channel) return 1;
  auto server = std::make_shared<WindowHostServer>(channel);
  std::weak_ptr<WindowHostServer> weak = server;
  channel->onLine = [weak](std::string line) {
    auto message = WindowHostMessage::parse(line);
    if (!message) return;
    onMainLoop([weak, message = std::move(*message)] {
      if (auto self = weak.lock()) self->handle(message);
    });
  };
  channel->onClose = [] { UiRuntime::quitLoop(); };
  channel->resume();
  channel->send(WindowHostMessage{.kind = WindowHostMessage::Kind::ready}.encode());
  UiRuntime::runLoop();
  // Windows go with the process; GTK's teardown is not worth waiting for.
  std::fflush(nullptr);
  ::_exit(0);
}

}  // namespace vela
