#pragma once

// The agent's one long-lived WebSocket to the gateway, multiplexing remote shells and
// remote desktop sessions. It authenticates with the device token, trusts only the
// pinned CA certificates, watches the connection with pings and reconnects with capped,
// jittered backoff while running.
//
// Threading: every state change runs on the serial queue "vela.gateway.client"; frames
// are received and routed on the gateway I/O thread; sends may come from any thread.
// Asynchronous callbacks hold the client weakly. Create with create(); start() and
// stop() return at once and may be called from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "net/pinned_trust.h"
#include "desktop/desktop_relaying.h"
#include "desktop/desktop_session_manager.h"
#include "files/file_transfer_manager.h"
#include "net/websocket_client.h"
#include "remote/send_budget.h"
#include "remote/shell_session_manager.h"
#include "util/mutex.h"
#include "util/serial_queue.h"

namespace vela {

class GatewayClient : public std::enable_shared_from_this<GatewayClient> {
 public:
  static constexpr std::string_view userAgent = "vela-agent/0.1.0";
  // Incoming frames past this are dropped unread.
  static constexpr std::size_t kMaxFrameBytes = 1'048'576;

  // Nothing when the base URL has no host. Only the host of serverBaseURL is used.
  static std::shared_ptr<GatewayClient> create(
      const std::string& serverBaseURL, PinnedTrust trust, std::string deviceToken,
      DesktopSessionManager::ServicesProvider desktopServices = {},
      std::shared_ptr<DesktopRelaying> desktopRelay = nullptr);

  ~GatewayClient();
  GatewayClient(const GatewayClient&) = delete;
  GatewayClient& operator=(const GatewayClient&) = delete;

  // What the connection is doing, for whoever reports the daemon's state. The detail
  // of `disconnected` says why. Called on the client's queue; set before start().
  enum class LinkState { connecting, connected, disconnected, stopped };
  using LinkObserver = std::function<void(LinkState, const std::string& detail)>;
  void setLinkObserver(LinkObserver observer) { linkObserver_ = std::move(observer); }

  // Local policy (allowFileTransfer); while false every file request is refused.
  void setFileTransferAllowed(bool allowed) { fileManager_->setAllowed(allowed); }
  // Local policy (allowClipboard), written into every desktop session it opens.
  void setClipboardAllowed(bool allowed) { clipboardAllowed_ = allowed; }

  void start();
  // Kills every session and closes the connection with 1001 (going away).
  void stop();
  // stop(), then waits (bounded) until the closing handshake is out.
  void stopAndWait();

  const std::string& url() const { return url_; }

  // Backoff before reconnect attempt n (n >= 1): base min(2^min(n,6), 30) seconds plus
  // `unitRandom` (in [0,1]) times 0.3 of the base.
  static double backoffBaseSeconds(int attempt);
  static double reconnectDelaySeconds(int attempt, double unitRandom);

  // Test seams: where to connect instead of the URL's host and port, and faster timers.
  void setTargetForTesting(std::string host, std::uint16_t port);
  void setTimingForTesting(std::chrono::milliseconds pingInterval,
                           std::chrono::milliseconds staleAfter);
  int reconnectAttemptForTesting();
  bool isConnectedForTesting();
  int connectCountForTesting();
  int activeShellsForTesting() const { return manager_->activeCount(); }
  int activeTransfersForTesting() const { return fileManager_->activeCount(); }

 private:
  GatewayClient(std::string url, std::string host, PinnedTrust trust,
                     std::string deviceToken);
  void wire(DesktopSessionManager::ServicesProvider desktopServices, std::shared_ptr<DesktopRelaying> relay);

  void shutDown(std::function<void()> done);
  void report(LinkState state, const std::string& detail = "") const {
    if (linkObserver_) linkObserver_(state, detail);
  }
  LinkObserver linkObserver_;

  // On queue_.
  void connect();
  void opened(std::uint64_t taskID);
  void handleDisconnect(const std::string& error);
  void pingTick();
  void startPingTimer();
  void cancelPingTimer();
  bool isCurrent(std::uint64_t taskID) const EXCLUDES(taskLock_) {
    MutexLock lock(taskLock_);
    return task_ && taskID_ == taskID;
  }

  // On the I/O thread.
  void route(const std::string& text);
  void oversize(const WebSocketClient::Oversize& dropped);

  // Any thread: drops the text when there is no connection. Text without a ticket is
  // also dropped while the send queue is full.
  void sendText(std::string text, SendBudget::Ticket ticket = nullptr);
  std::shared_ptr<WebSocketClient> currentTask() const;

  const std::string url_;
  const PinnedTrust trust_;
  const std::string deviceToken_;
  URL target_;  // wss://<host>:8443/v1/agent/conn
  std::chrono::milliseconds pingInterval_{20'000};
  std::chrono::milliseconds staleAfter_{50'000};

  std::shared_ptr<SerialQueue> queue_;
  mutable Mutex taskLock_;
  std::shared_ptr<WebSocketClient> task_ GUARDED_BY(taskLock_);  // written on queue_
  std::uint64_t taskID_ GUARDED_BY(taskLock_) = 0;

  // Touched only on queue_.
  std::optional<SerialQueue::TimerID> pingTimer_;
  std::optional<SerialQueue::TimerID> reconnectTimer_;
  bool running_ = false;
  bool opened_ = false;
  int reconnectAttempt_ = 0;
  int connectCount_ = 0;
  std::chrono::steady_clock::time_point lastPong_;
  std::mt19937_64 random_{std::random_device{}()};

  const std::shared_ptr<SendBudget> budget_ = SendBudget::create();
  std::atomic<bool> droppedWhileFull_{false};
  std::atomic<bool> clipboardAllowed_{true};
  std::shared_ptr<ShellSessionManager> manager_;
  std::shared_ptr<DesktopSessionManager> desktopManager_;
  std::shared_ptr<FileTransferManager> fileManager_;
  std::shared_ptr<DesktopRelaying> desktopRelay_;
};

}  // namespace vela
