#include "desktop/desktop_session_manager.h"

#include <type_traits>
#include <vector>

#include "desktop/desktop_session_parts.h"
#include "util/log.h"
#include "util/overloaded.h"

namespace vela {

namespace {

constexpr const char* kNoBackend = "agent has no WebRTC backend";
constexpr const char* kLimitReached = "desktop session limit reached";

}  // namespace

std::shared_ptr<DesktopSessionManager> DesktopSessionManager::create(Send send,
                                                                     ServicesProvider services,
                                                                     Options options) {
  return std::shared_ptr<DesktopSessionManager>(
      new DesktopSessionManager(std::move(send), std::move(services), std::move(options)));
}

DesktopSessionManager::~DesktopSessionManager() { killAll(); }

void DesktopSessionManager::handle(const IncomingDesktopFrame& frame) {
  std::visit(
      Overloaded{
          [&](const IncomingDesktopFrame::Open& open) { this->open(open.sessionID, open.config); },
          [&](const IncomingDesktopFrame::Signal& signal) {
            route(signal.sessionID, signal.signal);
          },
          [&](const IncomingDesktopFrame::Close& close) {
            this->close(close.sessionID, close.reason);
          },
      },
      frame.payload);
}

void DesktopSessionManager::open(const std::string& sessionID, const DesktopOpenConfig& config) {
  const DesktopServices* services = services_ ? services_() : nullptr;
  if (!services) {
    sendFrame({OutgoingDesktopFrame::Error{sessionID, kNoBackend}});
    return;
  }
  if (config.mode != "attended" && services->screen) {
    if (auto why = services->screen->refusesUnattended(); !why.empty()) {
      Log::warn("desktop: session " + sessionID + " refused: " + why);
      sendFrame({OutgoingDesktopFrame::Error{sessionID, why}});
      return;
    }
  }
  auto link = std::make_shared<Link>();
  link->sessionID = sessionID;
  {
    MutexLock guard(lock_);
    if (controllers_.count(sessionID)) return;
    if (static_cast<int>(controllers_.size()) >= options_.maxSessions)
      link = nullptr;
    else
      link->serial = nextSerial_++;
  }
  if (!link) {
    sendFrame({OutgoingDesktopFrame::Error{sessionID, kLimitReached}});
    return;
  }

  RecordingPlace recordings = options_.recordings ? *options_.recordings : RecordingStore::configured();
  auto parts = makeSessionParts(*services, {std::move(recordings), true});
  if (!parts) {
    Log::warn("desktop: cannot open session " + sessionID + ": " + parts.error());
    sendFrame({OutgoingDesktopFrame::Error{sessionID, parts.error()}});
    return;
  }

  std::weak_ptr<DesktopSessionManager> weak = weak_from_this();
  auto controller = DesktopSessionController::create(
      std::move(*parts), config, std::nullopt,
      [weak, link](const SignalingMessage& message) {
        if (auto self = weak.lock()) self->signaled(link, message);
      },
      [weak, link](const DesktopLifecycle& event) {
        if (auto self = weak.lock()) self->lifecycle(link, event);
      },
      options_.timing);

  bool limited = false;
  {
    MutexLock guard(lock_);
    // Another open may have won the slot or the id while the media were made.
    if (controllers_.count(sessionID)) return;
    limited = static_cast<int>(controllers_.size()) >= options_.maxSessions;
    if (!limited) controllers_[sessionID] = Entry{link, controller};
  }
  if (limited) {
    sendFrame({OutgoingDesktopFrame::Error{sessionID, kLimitReached}});
    return;
  }
  Log::info("desktop.open received (session " + sessionID + "): mode=" + config.mode +
            ", recording_required=" + (config.recordingRequired ? "true" : "false") +
            ", ice_servers=" + std::to_string(config.iceServers.size()) +
            " → opening recorder + peer");
  controller->open();
}

void DesktopSessionManager::route(const std::string& sessionID, const DesktopSignal& signal) {
  auto controller = find(sessionID);
  if (!controller) return;
  if (auto description = signal.description()) {
    controller->peer().setRemoteDescription(*description);
  } else if (auto* candidate = std::get_if<IceCandidate>(&signal.payload)) {
    controller->peer().addRemoteCandidate(*candidate);
  }
}

void DesktopSessionManager::close(const std::string& sessionID, const std::string& reason) {
  if (auto controller = find(sessionID)) controller->close(reason, false);
}

void DesktopSessionManager::killAll(std::function<void()> ended) {
  std::map<std::string, Entry> taken;
  {
    MutexLock guard(lock_);
    taken.swap(controllers_);
  }
  // One count per session still closing, plus one released below, so `ended` runs once.
  auto remaining = std::make_shared<std::atomic<int>>(1);
  auto countDown = [remaining, ended] {
    if (remaining->fetch_sub(1) == 1 && ended) ended();
  };
  for (auto& [id, entry] : taken) {
    entry.link->silenced = true;
    {
      MutexLock guard(entry.link->endLock);
      if (!entry.link->ended) {
        ++*remaining;
        entry.link->onEnded = countDown;
      }
    }
    entry.controller->close("gateway_disconnect", false);
  }
  countDown();
}

void DesktopSessionManager::markEnded(Link& link) {
  std::function<void()> onEnded;
  {
    MutexLock guard(link.endLock);
    link.ended = true;
    onEnded = std::move(link.onEnded);
  }
  if (onEnded) onEnded();
}

int DesktopSessionManager::activeCount() const {
  MutexLock guard(lock_);
  return static_cast<int>(controllers_.size());
}

void DesktopSessionManager::signaled(const std::shared_ptr<Link>& link,
                                     const SignalingMessage& message) {
  const std::string& id = link->sessionID;
  std::visit(Overloaded{
                 [&](const SessionDescription& description) {
                   if (!link->silenced)
                     sendFrame({OutgoingDesktopFrame::Signal{
                         id, DesktopSignal::fromDescription(description)}});
                 },
                 [&](const IceCandidate& candidate) {
                   if (!link->silenced)
                     sendFrame({OutgoingDesktopFrame::Signal{id, DesktopSignal{candidate}}});
                 },
                 [&](const SignalingMessage::Close& close) {
                   std::shared_ptr<DesktopSessionController> controller;
                   {
                     MutexLock guard(lock_);
                     auto it = controllers_.find(id);
                     if (it != controllers_.end() && it->second.link == link)
                       controller = it->second.controller;
                   }
                   if (controller) controller->close(close.reason, false);
                 },
             },
             message.payload);
}

void DesktopSessionManager::lifecycle(const std::shared_ptr<Link>& link,
                                      const DesktopLifecycle& event) {
  const std::string& id = link->sessionID;
  std::optional<OutgoingDesktopFrame> frame;
  bool ended = false;
  std::visit(Overloaded{
                 [&](const DesktopLifecycle::Opened& e) {
                   frame = {OutgoingDesktopFrame::Opened{id, e.ack, e.monitors, e.videoSize}};
                 },
                 [&](const DesktopLifecycle::RecordingBeat& e) {
                   frame = {OutgoingDesktopFrame::RecordingBeat{id, e.seq, e.bytes}};
                 },
                 [&](const DesktopLifecycle::RecordingFinal& e) {
                   frame = {OutgoingDesktopFrame::RecordingFinal{id, e.final.sha256, e.final.bytes,
                                                                 e.final.durationS, e.final.storage,
                                                                 e.final.format}};
                 },
                 [&](const DesktopLifecycle::Error& e) {
                   frame = {OutgoingDesktopFrame::Error{id, e.message}};
                 },
                 [&](const DesktopLifecycle::ConsentDeclined&) {
                   frame = {OutgoingDesktopFrame::ConsentDeclined{id}};
                   ended = true;
                 },
                 [&](const DesktopLifecycle::Closed& e) {
                   Log::info("desktop: session " + id + " ended (" + e.reason + ")");
                   // The operator's own close is not echoed back.
                   if (e.selfInitiated) frame = {OutgoingDesktopFrame::Closed{id, e.reason}};
                   ended = true;
                 },
             },
             event.event);
  if (ended) remove(*link);
  if (frame && !link->silenced) sendFrame(*frame);
  if (ended) markEnded(*link);
}

void DesktopSessionManager::remove(const Link& link) {
  // Released after the lock: the session's destructor may do real work.
  std::shared_ptr<DesktopSessionController> removed;
  {
    MutexLock guard(lock_);
    auto it = controllers_.find(link.sessionID);
    if (it == controllers_.end() || it->second.link.get() != &link) return;
    removed = std::move(it->second.controller);
    controllers_.erase(it);
  }
}

std::shared_ptr<DesktopSessionController> DesktopSessionManager::find(
    const std::string& sessionID) const {
  MutexLock guard(lock_);
  auto it = controllers_.find(sessionID);
  return it == controllers_.end() ? nullptr : it->second.controller;
}

void DesktopSessionManager::sendFrame(const OutgoingDesktopFrame& frame) const {
  if (send_) send_(frame.json());
}

}  // namespace vela
