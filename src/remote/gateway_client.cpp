#include "remote/gateway_client.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "net/control_plane_api.h"
#include "net/endpoints.h"
#include "remote/oversize_frame.h"
#include "util/log.h"
#include "util/url.h"
#include "util/utf8.h"

namespace vela {

std::shared_ptr<GatewayClient> GatewayClient::create(
    const std::string& serverBaseURL, PinnedTrust trust, std::string deviceToken,
    DesktopSessionManager::ServicesProvider desktopServices,
    std::shared_ptr<DesktopRelaying> desktopRelay) {
  const std::string base(UTF8::trimWhitespace(serverBaseURL));
  auto url = Endpoints{base}.gatewayURL();
  if (!url) return nullptr;
  std::string host = URL::parse(base)->host;
  std::shared_ptr<GatewayClient> client(
      new GatewayClient(*url, std::move(host), std::move(trust), std::move(deviceToken)));
  client->wire(std::move(desktopServices), std::move(desktopRelay));
  return client;
}

GatewayClient::GatewayClient(std::string url, std::string host, PinnedTrust trust,
                                       std::string deviceToken)
    : url_(std::move(url)),
      trust_(std::move(trust)),
      deviceToken_(std::move(deviceToken)),
      target_{"wss", std::move(host), ControlPlaneAPI::gatewayPort, std::string(ControlPlaneAPI::gatewayPath), ""},
      queue_(std::make_shared<SerialQueue>("vela.gateway.client")) {}

void GatewayClient::wire(DesktopSessionManager::ServicesProvider desktopServices,
                              std::shared_ptr<DesktopRelaying> relay) {
  std::weak_ptr<GatewayClient> weak = weak_from_this();
  manager_ = ShellSessionManager::create(
      [weak](const OutgoingShellFrame& frame, SendBudget::Ticket ticket) {
        if (auto self = weak.lock()) self->sendText(frame.json(), std::move(ticket));
      },
      ShellSessionManager::Options{5, 1800, 14400, std::nullopt, budget_});
  desktopManager_ = DesktopSessionManager::create(
      [weak](const std::string& text) {
        if (auto self = weak.lock()) self->sendText(text);
      },
      std::move(desktopServices));
  // Charged, never dropped: a transfer's own window bounds what it puts in flight.
  fileManager_ = FileTransferManager::create(
      [weak](const OutgoingFileFrame& frame) {
        auto self = weak.lock();
        if (!self) return;
        std::string text = frame.json();
        auto ticket = self->budget_->charge(nullptr, text.size());
        self->sendText(std::move(text), std::move(ticket));
      },
      FileTransferManager::Options{});
  desktopRelay_ = std::move(relay);
  if (desktopRelay_) {
    desktopRelay_->setUpstream([weak](std::string text) {
      if (auto self = weak.lock()) self->sendText(std::move(text));
    });
  }
}

GatewayClient::~GatewayClient() {
  // Normally stop() ran first; this only makes sure nothing outlives the client.
  manager_->killAll();
  desktopManager_->killAll();
  fileManager_->killAll();
  if (auto task = currentTask()) task->cancel(1006);
  queue_.reset();
}

void GatewayClient::start() {
  queue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->running_) return;
    self->running_ = true;
    Log::info("gateway: connecting to " + self->url_);
    self->report(LinkState::connecting);
    self->connect();
  });
}

void GatewayClient::stop() { shutDown(nullptr); }

void GatewayClient::stopAndWait() {
  auto done = std::make_shared<Semaphore>();
  shutDown([done] { done->signal(); });
  done->waitFor(std::chrono::seconds(5));
}

void GatewayClient::shutDown(std::function<void()> done) {
  // Holds the client strongly: a stop requested just before the owner lets go must
  // still close the connection.
  queue_->async([self = shared_from_this(), done = std::move(done)] {
    self->running_ = false;
    self->report(LinkState::stopped);
    self->cancelPingTimer();
    if (self->reconnectTimer_) self->queue_->cancel(*self->reconnectTimer_);
    self->reconnectTimer_.reset();
    self->manager_->killAll();
    self->desktopManager_->killAll();
    self->fileManager_->killAll();
    std::shared_ptr<WebSocketClient> task;
    {
      MutexLock lock(self->taskLock_);
      task = std::exchange(self->task_, nullptr);
    }
    if (task) {
      task->cancel(1001, done);
    } else if (done) {
      done();
    }
  });
}

void GatewayClient::connect() {
  reconnectTimer_.reset();
  if (!running_) return;
  {
    MutexLock lock(taskLock_);
    if (task_) return;  // a connection is already under way
  }
  std::uint64_t id;
  {
    MutexLock lock(taskLock_);
    id = ++taskID_;
  }
  std::weak_ptr<GatewayClient> weak = weak_from_this();
  WebSocketClient::Events events;
  events.opened = [weak, id] {
    if (auto self = weak.lock()) {
      self->queue_->async([weak, id] {
        if (auto s = weak.lock()) s->opened(id);
      });
    }
  };
  events.message = [weak](std::string text) {
    if (auto self = weak.lock()) self->route(text);
  };
  events.oversize = [weak](const WebSocketClient::Oversize& oversize) {
    if (auto self = weak.lock()) self->oversize(oversize);
  };
  events.failed = [weak, id](std::string error) {
    if (auto self = weak.lock()) {
      self->queue_->async([weak, id, error] {
        auto s = weak.lock();
        if (s && s->isCurrent(id)) s->handleDisconnect(error);
      });
    }
  };
  events.closed = [weak, id](int code) {
    if (auto self = weak.lock()) {
      self->queue_->async([weak, id, code] {
        auto s = weak.lock();
        if (s && s->running_ && s->isCurrent(id)) s->handleDisconnect("ws closed: " + std::to_string(code));
      });
    }
  };
  events.sendFailed = [](std::string error) { Log::debug([&] { return "gateway: send failed: " + error; }); };
  events.ended = [](const WebSocketClient::Ending& ending) {
    if (ending.trustRejected) Log::error("gateway: server trust pinning rejected");
    if (ending.upgradeStatus) {
      Log::warn("gateway: HTTP response " + std::to_string(*ending.upgradeStatus) + " (expected 101)");
    }
    if (ending.error) Log::warn("gateway: task error " + *ending.error);
  };
  WebSocketClient::Options options{
      .url = target_,
      .trust = trust_,
      .headers = {{"User-Agent", std::string(userAgent)}, {"Authorization", "Bearer " + deviceToken_}},
      .tls13Only = true,
      .connectTimeout = std::chrono::seconds(60),
      .maxMessageBytes = kMaxFrameBytes,
  };
  auto task = WebSocketClient::create(WebSocketIO::shared(), std::move(options), std::move(events));
  {
    MutexLock lock(taskLock_);
    task_ = task;
  }
  ++connectCount_;
  opened_ = false;
  lastPong_ = std::chrono::steady_clock::now();
  task->start();
  startPingTimer();
}

void GatewayClient::opened(std::uint64_t taskID) {
  if (!isCurrent(taskID)) return;
  opened_ = true;
  reconnectAttempt_ = 0;
  Log::info("gateway: connected");
  report(LinkState::connected);
}

void GatewayClient::route(const std::string& text) {
  // Read once; the frame's kind picks its decoder, and the relay re-encodes the same tree.
  auto frame = SessionFrame::parse(text);
  // The relay passes the same tree on, so a helper's session sees the policy too.
  if (frame && frame->type == "desktop.open" && !clipboardAllowed_) frame->root.set("clipboard", false);
  if (frame) {
    if (auto shell = IncomingShellFrame::from(*frame)) {
      manager_->handle(*shell);
      return;
    }
    if (auto file = IncomingFileFrame::from(*frame)) {
      fileManager_->handle(*file);
      return;
    }
    if (auto desktop = IncomingDesktopFrame::from(*frame)) {
      if (!desktopRelay_ || !desktopRelay_->forward(*frame)) desktopManager_->handle(*desktop);
      return;
    }
  }
  Log::debug("gateway: unparseable frame");
}

void GatewayClient::oversize(const WebSocketClient::Oversize& dropped) {
  auto frame = OversizeFrame::locate(dropped.head, dropped.tail);
  Log::warn("gateway: oversize frame dropped (" + std::to_string(dropped.bytes) + " bytes" +
            (frame ? ", " + frame->type + " for session " + frame->sessionID : std::string()) + ")");
  // A lost file chunk would leave its transfer waiting; shell and desktop frames are only dropped.
  if (frame && frame->type.starts_with("file.")) {
    fileManager_->refuseOversize(frame->sessionID, dropped.bytes, kMaxFrameBytes);
  }
}

void GatewayClient::startPingTimer() {
  cancelPingTimer();
  std::weak_ptr<GatewayClient> weak = weak_from_this();
  pingTimer_ = queue_->every(pingInterval_, [weak] {
    if (auto self = weak.lock()) self->pingTick();
  });
}

void GatewayClient::cancelPingTimer() {
  if (pingTimer_) queue_->cancel(*pingTimer_);
  pingTimer_.reset();
}

void GatewayClient::pingTick() {
  if (std::chrono::steady_clock::now() - lastPong_ > staleAfter_) {
    Log::warn("gateway: no pong for >50s; treating connection as dead");
    handleDisconnect("ping watchdog: stale connection");
    return;
  }
  auto task = currentTask();
  if (!task) return;
  std::uint64_t id;
  {
    MutexLock lock(taskLock_);
    id = taskID_;
  }
  std::weak_ptr<GatewayClient> weak = weak_from_this();
  task->ping([weak, id](std::optional<std::string> error) {
    auto self = weak.lock();
    if (!self) return;
    self->queue_->async([weak, id, error] {
      auto s = weak.lock();
      if (!s || !s->isCurrent(id)) return;
      if (error) {
        Log::warn("gateway: ping failed (" + *error + "); reconnecting");
        s->handleDisconnect(*error);
        return;
      }
      s->lastPong_ = std::chrono::steady_clock::now();
    });
  });
}

void GatewayClient::handleDisconnect(const std::string& error) {
  std::shared_ptr<WebSocketClient> task;
  {
    MutexLock lock(taskLock_);
    if (!task_) return;
    task = std::exchange(task_, nullptr);
  }
  cancelPingTimer();
  manager_->killAll();
  desktopManager_->killAll();
  fileManager_->killAll();
  task->cancel(1006);
  if (!running_) return;
  int attempt = ++reconnectAttempt_;
  double unit = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
  double delay = reconnectDelaySeconds(attempt, unit);
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", delay);
  Log::warn("gateway: disconnected (" + error + "); reconnect in " + text + "s");
  report(LinkState::disconnected, error);
  std::weak_ptr<GatewayClient> weak = weak_from_this();
  reconnectTimer_ = queue_->after(
      std::chrono::duration_cast<SerialQueue::Clock::duration>(std::chrono::duration<double>(delay)),
      [weak] {
        if (auto self = weak.lock()) self->connect();
      });
}

double GatewayClient::backoffBaseSeconds(int attempt) {
  int exponent = std::clamp(attempt, 0, 6);
  return std::min(std::pow(2.0, exponent), 30.0);
}

double GatewayClient::reconnectDelaySeconds(int attempt, double unitRandom) {
  double base = backoffBaseSeconds(attempt);
  return base + std::clamp(unitRandom, 0.0, 1.0) * 0.3 * base;
}

void GatewayClient::sendText(std::string text, SendBudget::Ticket ticket) {
  auto task = currentTask();
  if (!task) return;
  if (!ticket) {
    // Shell output pauses at the mark; other traffic has no reader to pause.
    if (budget_->connectionFull()) {
      if (!droppedWhileFull_.exchange(true)) Log::warn("gateway: send queue full; dropping frames");
      return;
    }
    ticket = budget_->charge(nullptr, text.size());
  }
  task->send(std::move(text), std::move(ticket));
}

std::shared_ptr<WebSocketClient> GatewayClient::currentTask() const {
  MutexLock lock(taskLock_);
  return task_;
}

// The accessors for tests below leave their defaults when the queue has stopped.
void GatewayClient::setTargetForTesting(std::string host, std::uint16_t port) {
  (void)queue_->sync([&] {
    target_.host = std::move(host);
    target_.port = port;
  });
}

void GatewayClient::setTimingForTesting(std::chrono::milliseconds pingInterval,
                                             std::chrono::milliseconds staleAfter) {
  (void)queue_->sync([&] {
    pingInterval_ = pingInterval;
    staleAfter_ = staleAfter;
  });
}

int GatewayClient::reconnectAttemptForTesting() {
  int value = 0;
  (void)queue_->sync([&] { value = reconnectAttempt_; });
  return value;
}

bool GatewayClient::isConnectedForTesting() {
  bool value = false;
  (void)queue_->sync([&] { value = opened_ && currentTask() != nullptr; });
  return value;
}

int GatewayClient::connectCountForTesting() {
  int value = 0;
  (void)queue_->sync([&] { value = connectCount_; });
  return value;
}

}  // namespace vela
