#include "desktop_module/window_host_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "desktop/desktop_services.h"
#include "platform/child_process.h"
#include "platform/unix_socket.h"
#include "util/log.h"

namespace vela {
namespace {

class HostedIndicator final : public DesktopIndicating {
 public:
  explicit HostedIndicator(std::shared_ptr<WindowHostClient> host)
      : host_(std::move(host)), id_(host_->nextId()) {}
  ~HostedIndicator() override { host_->hideBanner(id_); }
  void show(const std::string& text, const std::string& logoBase64, Shown shown) override {
    host_->showBanner(id_, text, logoBase64, std::move(shown), onEnd_);
  }
  void hide() override { host_->hideBanner(id_); }
  void setOnEndRequested(EndRequested callback) override { onEnd_ = std::move(callback); }

 private:
  const std::shared_ptr<WindowHostClient> host_;
  const std::uint64_t id_;
  EndRequested onEnd_;  // set before show()
};

class HostedConsent final : public DesktopConsenting {
 public:
  explicit HostedConsent(std::shared_ptr<WindowHostClient> host) : host_(std::move(host)) {}
  void request(std::chrono::milliseconds timeout, const std::string& operatorName,
               const std::string& brandName, const std::string& logoBase64, bool recording,
               Completion completion) override {
    WindowHostMessage message{.kind = WindowHostMessage::Kind::consent,
                              .logo = logoBase64,
                              .operatorName = operatorName,
                              .brandName = brandName,
                              .timeoutMs = timeout.count(),
                              .flag = recording};
    host_->requestConsent(host_->nextId(), std::move(message), std::move(completion));
  }

 private:
  const std::shared_ptr<WindowHostClient> host_;
};

// The host's end of the pair as its standard input, and the agent's standard error as
// its own, so GTK's complaints land where the agent's lines do.
Result<pid_t> spawnHost(int hostEnd) {
  int errors = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  platform::ChildLaunch launch;
  launch.path = "/proc/self/exe";
  launch.arguments = {kWindowHostCommand};
  if (Log::verbose) launch.arguments.push_back("--verbose");
  launch.stdio = {hostEnd, -1, errors};
  auto started = platform::startChild(launch);
  platform::closeDescriptor(errors);
  if (!started)
    return fail(std::string("cannot start the window host: ") + std::strerror(started.error()));
  return *started;
}

}  // namespace

Result<std::shared_ptr<WindowHostClient>> WindowHostClient::start() {
  auto [ours, theirs] = VELA_TRY(platform::socketPair());
  auto pid = spawnHost(theirs);
  platform::closeDescriptor(theirs);
  if (!pid) {
    platform::closeDescriptor(ours);
    return tl::unexpected(pid.error());
  }
  platform::reapWhenEnded(*pid, [pid = *pid](int status) {
    Log::info("desktop: the window host (pid " + std::to_string(pid) + ") ended with status " +
              std::to_string(status));
  });
  auto channel = IPCChannel::create(ours);
  if (!channel) return fail("cannot watch the window host's socket");
  auto client = std::shared_ptr<WindowHostClient>(new WindowHostClient(*pid, channel));
  std::weak_ptr<WindowHostClient> weak = client;
  channel->onLine = [weak](std::string line) {
    if (auto self = weak.lock()) self->received(line);
  };
  channel->onClose = [weak] {
    if (auto self = weak.lock()) self->hostEnded();
  };
  channel->resume();
  Log::info("desktop: window host started (pid " + std::to_string(*pid) +
            ") for the banner and consent dialog");
  return client;
}

WindowHostClient::~WindowHostClient() { channel_->cancel(); }

bool WindowHostClient::alive() const {
  MutexLock guard(lock_);
  return !ended_;
}

std::shared_ptr<DesktopIndicating> WindowHostClient::makeIndicator() {
  return std::make_shared<HostedIndicator>(shared_from_this());
}

std::shared_ptr<DesktopConsenting> WindowHostClient::makeConsent() {
  return std::make_shared<HostedConsent>(shared_from_this());
}

void WindowHostClient::showBanner(std::uint64_t id, const std::string& text,
                                  const std::string& logo, DesktopIndicating::Shown shown,
                                  DesktopIndicating::EndRequested ended) {
  {
    MutexLock guard(lock_);
    if (!ended_) {
      banners_[id] = Banner{std::move(shown), std::move(ended)};
      shown = nullptr;
    }
  }
  if (shown) {
    Log::warn("desktop: the banner cannot be shown: its window host has ended");
    return shown(false);
  }
  channel_->send(WindowHostMessage{
      .kind = WindowHostMessage::Kind::banner, .id = id, .text = text, .logo = logo}
                     .encode());
}

void WindowHostClient::hideBanner(std::uint64_t id) {
  {
    MutexLock guard(lock_);
    if (banners_.erase(id) == 0) return;
  }
  channel_->send(WindowHostMessage{.kind = WindowHostMessage::Kind::hide, .id = id}.encode());
}

void WindowHostClient::requestConsent(std::uint64_t id, WindowHostMessage request,
                                      DesktopConsenting::Completion completion) {
  {
    MutexLock guard(lock_);
    if (!ended_) {
      consents_[id] = std::move(completion);
      completion = nullptr;
    }
  }
  if (completion) {
    Log::warn("desktop: consent counted as declined: the window host that would ask has ended");
    return completion(false);
  }
  request.id = id;
  channel_->send(request.encode());
}

void WindowHostClient::received(const std::string& line) {
  auto message = WindowHostMessage::parse(line);
  if (!message) return;
  DesktopIndicating::Shown shown;
  DesktopIndicating::EndRequested ended;
  DesktopConsenting::Completion answered;
  {
    MutexLock guard(lock_);
    switch (message->kind) {
      case WindowHostMessage::Kind::ready:
        ready_ = true;
        break;
      case WindowHostMessage::Kind::shown:
        if (auto banner = banners_.find(message->id); banner != banners_.end())
          shown = std::move(banner->second.shown);
        break;
      case WindowHostMessage::Kind::end:
        if (auto banner = banners_.find(message->id); banner != banners_.end())
          ended = banner->second.ended;
        break;
      case WindowHostMessage::Kind::answer:
        if (auto consent = consents_.find(message->id); consent != consents_.end()) {
          answered = std::move(consent->second);
          consents_.erase(consent);
        }
        break;
      default:
        break;
    }
  }
  if (shown) shown(message->flag);
  if (ended) ended();
  if (answered) answered(message->flag);
}

void WindowHostClient::hostEnded() {
  std::map<std::uint64_t, Banner> banners;
  std::map<std::uint64_t, DesktopConsenting::Completion> consents;
  bool wasReady = false;
  {
    MutexLock guard(lock_);
    ended_ = true;
    wasReady = ready_;
    banners.swap(banners_);
    consents.swap(consents_);
  }
  Log::warn(std::string("desktop: the window host (pid ") + std::to_string(pid_) + ") " +
            (wasReady ? "has ended: its compositor is gone or it failed"
                      : "could not open the Wayland display"));
  for (auto& [id, banner] : banners) {
    if (banner.shown) {
      banner.shown(false);
    } else {
      Log::warn("desktop: the session's banner is gone with its window host");
    }
  }
  for (auto& [id, completion] : consents) {
    Log::warn(
        "desktop: consent counted as declined: its dialog's window host ended before an answer");
    if (completion) completion(false);
  }
}

}  // namespace vela
