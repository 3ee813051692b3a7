#pragma once

// Serves incoming desktop frames in the process that can reach the screen: opens up to
// `maxSessions` sessions (DesktopSessionController) with parts from the desktop
// module, routes the operator's signals straight to each session's peer and turns
// session events back into outgoing frames. Thread-safe; the lock guards only the
// session map and is never held while calling a session or `send`.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "desktop/desktop_services.h"
#include "desktop/desktop_frames.h"
#include "desktop/desktop_lifecycle.h"
#include "desktop/desktop_session_controller.h"
#include "desktop/recording_store.h"
#include "util/mutex.h"

namespace vela {

class DesktopSessionManager : public std::enable_shared_from_this<DesktopSessionManager> {
 public:
  using Send = std::function<void(const std::string& frameText)>;
  using ServicesProvider = std::function<const DesktopServices*()>;

  struct Options {
    int maxSessions = 2;
    // Where recordings go and what that folder keeps; absent: as configured at the time
    // of each open (RecordingStore::configured), so an edited config.json needs no restart.
    std::optional<RecordingPlace> recordings;
    DesktopSessionController::Timing timing;
  };

  // `services` is asked on every open; nullptr means this process has no desktop module.
  static std::shared_ptr<DesktopSessionManager> create(Send send, ServicesProvider services,
                                                       Options options);
  static std::shared_ptr<DesktopSessionManager> create(Send send, ServicesProvider services) {
    return create(std::move(send), std::move(services), Options{});
  }
  ~DesktopSessionManager();

  void handle(const IncomingDesktopFrame& frame);
  // Closes every session locally ("gateway_disconnect"); their later events send nothing.
  void killAll() { killAll(nullptr); }
  // The same; `ended` runs (on some session's queue, or at once when there are none)
  // once every session taken has finished closing, its recording finalised.
  void killAll(std::function<void()> ended);
  int activeCount() const;
  int maxSessions() const { return options_.maxSessions; }

 private:
  // What a session's callbacks carry: its id, and whether its events still reach the
  // gateway. `serial` tells this session from a later one reusing the id.
  struct Link {
    std::string sessionID;
    std::uint64_t serial = 0;
    std::atomic<bool> silenced{false};
    Mutex endLock;
    bool ended GUARDED_BY(endLock) = false;
    std::function<void()> onEnded GUARDED_BY(endLock);
  };
  static void markEnded(Link& link);
  struct Entry {
    std::shared_ptr<Link> link;
    std::shared_ptr<DesktopSessionController> controller;
  };

  DesktopSessionManager(Send send, ServicesProvider services, Options options)
      : send_(std::move(send)), services_(std::move(services)), options_(std::move(options)) {}

  void open(const std::string& sessionID, const DesktopOpenConfig& config);
  void route(const std::string& sessionID, const DesktopSignal& signal);
  void close(const std::string& sessionID, const std::string& reason);
  void signaled(const std::shared_ptr<Link>& link, const SignalingMessage& message);
  void lifecycle(const std::shared_ptr<Link>& link, const DesktopLifecycle& event);
  void remove(const Link& link);
  std::shared_ptr<DesktopSessionController> find(const std::string& sessionID) const;
  void sendFrame(const OutgoingDesktopFrame& frame) const;

  const Send send_;
  const ServicesProvider services_;
  const Options options_;

  mutable Mutex lock_;
  std::map<std::string, Entry> controllers_ GUARDED_BY(lock_);
  std::uint64_t nextSerial_ GUARDED_BY(lock_) = 1;
};

}  // namespace vela
