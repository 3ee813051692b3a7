#pragma once

// Attended support without enrolment: redeems a support code at the control plane,
// connects to the session gateway it names, and runs one remote-desktop session for the
// operator there; when the session ends, its recording is uploaded through a presigned
// URL. The client lives on after its creator returns (callbacks hold it weakly), so the
// caller keeps it in a list.
//
// Threading: start() blocks the caller while redeeming. Gateway messages arrive on the
// socket's thread, session events on the session queue, uploads on threads of their
// own; `lock_` guards the session and `closed_`, and no callback is called under it.
// onStatus and onClosed are called on any of those threads; onClosed exactly once.
// A recording that could not be uploaded stays on disk, and onStatus names its path,
// usually after onClosed.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/desktop_session_controller.h"
#include "util/agent_error.h"
#include "util/mutex.h"
#include "util/url.h"

namespace vela {

class JSONValue;
class WebSocketClient;
class WebSocketIO;

class QuickAssistClient : public std::enable_shared_from_this<QuickAssistClient> {
 public:
  struct JoinResult {
    std::string sessionID;
    std::string clientToken;
    std::string gatewayURL;
    bool recordingRequired = true;
    bool indicatorRequired = true;
  };
  // Everything one desktop session needs but its configuration: the peer with its
  // recording, the capturer, the injector and the display list.
  using PeerFactory = std::function<Result<DesktopSessionController::Parts>()>;
  using StatusCallback = std::function<void(const std::string& text)>;
  using ClosedCallback = std::function<void(const std::string& reason, bool everOpened)>;

  static constexpr const char* kIndicatorText = "Fernwartung aktiv · Aufzeichnung läuft";
  // The status that says the operator is connected and the session runs.
  static constexpr const char* kConnectedStatus = "Verbunden";

  static std::shared_ptr<QuickAssistClient> create(std::string serverBaseURL, std::string code,
                                                   PeerFactory peerFactory);
  ~QuickAssistClient();

  // REQUIRES: set before start().
  void setOnStatus(StatusCallback callback) { onStatus_ = std::move(callback); }
  void setOnClosed(ClosedCallback callback) { onClosed_ = std::move(callback); }

  // Redeems the code and starts connecting; returns once the connection is under way.
  Result<void> start();
  // The user ends the session.
  void close(const std::string& reason);

  // Waits until the session (if one started) has ended and every recording upload it
  // began has been attempted; false when `limit` passed first.
  bool waitUntilSettled(std::chrono::milliseconds limit);
  // Recordings whose upload failed: they stay where they are, for the person to pass on.
  std::vector<std::string> keptRecordings() const;

  // Parses a redeem reply: the join result, or the failure's text.
  static Result<JoinResult> parseJoin(long status, const std::string& body);

 private:
  QuickAssistClient(std::string serverBaseURL, std::string code, PeerFactory peerFactory);

  void connect();
  void received(const std::string& text);
  void startSession(const JSONValue* data);
  void sendSignal(const SignalingMessage& message);
  void lifecycle(const DesktopLifecycle& event);
  void finish(const std::string& reason);
  void send(const JSONValue& message);
  void uploadRecording(const DesktopRecordingFinal& final);
  void status(const std::string& text) const;

  const std::string serverBaseURL_;
  const std::string code_;
  const PeerFactory peerFactory_;
  StatusCallback onStatus_;
  ClosedCallback onClosed_;

  std::optional<JoinResult> join_;  // set by start() before the socket exists
  std::unique_ptr<WebSocketIO> io_;        // the socket's thread, set with ws_
  std::shared_ptr<WebSocketClient> ws_;  // set by connect(), before any message
  std::atomic<bool> everOpened_{false};

  Mutex lock_;
  std::shared_ptr<DesktopSessionController> controller_ GUARDED_BY(lock_);
  bool closed_ GUARDED_BY(lock_) = false;

  // Shared with the upload threads so that they never hold the client: its last
  // reference must go on the thread that waits for it, not behind the waiter's back.
  struct Settlement {
    Mutex mu;
    CondVar changed;
    int uploadsInFlight GUARDED_BY(mu) = 0;
    bool sessionRunning GUARDED_BY(mu) = false;
    std::vector<std::string> kept GUARDED_BY(mu);
    void update(int uploadsDelta, std::optional<bool> running);
  };
  const std::shared_ptr<Settlement> settlement_ = std::make_shared<Settlement>();
};

}  // namespace vela
