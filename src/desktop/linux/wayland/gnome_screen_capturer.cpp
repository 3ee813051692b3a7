#include "desktop/linux/wayland/gnome_screen_capturer.h"

#include <chrono>

#include "util/log.h"

namespace vela {
namespace {

// A stream agrees on its format within milliseconds; this is a producer that never will.
constexpr auto kNegotiationTimeout = std::chrono::seconds(10);

MediaTime now() {
  return std::chrono::duration_cast<MediaTime>(std::chrono::steady_clock::now().time_since_epoch());
}

}  // namespace

std::shared_ptr<GnomeScreenCapturer> GnomeScreenCapturer::create(Config config) {
  return create(config, MutterRemoteSession::opener(), false);
}

std::shared_ptr<GnomeScreenCapturer> GnomeScreenCapturer::create(Config config, RemoteDesktopSession::Opener opener,
                                                                 bool asksPerson) {
  return std::shared_ptr<GnomeScreenCapturer>(new GnomeScreenCapturer(config, std::move(opener), asksPerson));
}

GnomeScreenCapturer::GnomeScreenCapturer(Config config, RemoteDesktopSession::Opener opener, bool asksPerson)
    : config_(config),
      opener_(std::move(opener)),
      asksPerson_(asksPerson),
      sampleQueue_(std::make_shared<SerialQueue>("vela.screencap.samples")) {}

GnomeScreenCapturer::~GnomeScreenCapturer() {
  stop();
  sampleQueue_.reset();
}

void GnomeScreenCapturer::start(std::optional<std::uint32_t> displayID, StartCompletion completion) {
  {
    MutexLock lock(mu_);
    if (started_ || stopping_) return;
    started_ = true;
  }
  // Opening waits for mutter's answers; the queue's first task does it, so stop() waits
  // for an open in progress before it tears down.
  sampleQueue_->async([weak = weak_from_this(), displayID, completion = std::move(completion)]() mutable {
    if (auto self = weak.lock()) self->open(displayID, std::nullopt, std::move(completion));
  });
}

void GnomeScreenCapturer::startConnectorForTesting(std::string connector, StartCompletion completion) {
  {
    MutexLock lock(mu_);
    if (started_ || stopping_) return;
    started_ = true;
  }
  sampleQueue_->async([weak = weak_from_this(), connector = std::move(connector),
                       completion = std::move(completion)]() mutable {
    if (auto self = weak.lock()) self->open(std::nullopt, std::move(connector), std::move(completion));
  });
}

void GnomeScreenCapturer::open(std::optional<std::uint32_t> displayID, std::optional<std::string> connector,
                               StartCompletion completion) {
  std::weak_ptr<GnomeScreenCapturer> weak = weak_from_this();
  auto onClosed = [weak](const std::string& why) {
    if (auto self = weak.lock()) self->closedByDesktop(why);
  };
  Result<std::shared_ptr<RemoteDesktopSession>, CaptureError> session;
  if (connector) {
    const auto cursor = config_.showsCursor ? MutterRemoteSession::CursorMode::embedded
                                            : MutterRemoteSession::CursorMode::hidden;
    session = MutterRemoteSession::openConnector(*connector, cursor, onClosed);
  } else {
    session = opener_(displayID, config_.showsCursor, onClosed, [weak] {
      auto self = weak.lock();
      return !self || self->abandoned_.load();
    });
  }
  if (!session) {
    Log::warn("screen capture: " + session.error().description());
    if (completion) completion(tl::unexpected(session.error()));
    return;
  }
  auto source = PipeWireFrameSource::create((*session)->pipewireNode(), (*session)->pipewireFd(), config_.fps);
  if (!source) {
    (*session)->close();
    if (completion) completion(tl::unexpected(CaptureError::notPermitted(source.error().message)));
    return;
  }
  (*source)->setOnFrame([weak](const PixelBuffer& frame) {
    if (auto self = weak.lock()) self->offer(frame);
  });
  (*source)->setOnError([weak](const AgentError& error) {
    if (auto self = weak.lock()) self->finish(error);
  });
  auto watch = watchMonitor(*session);
  {
    MutexLock lock(mu_);
    if (stopping_) {
      lock.unlock();
      if (watch) watch->stop();
      (*session)->close();
      return;
    }
    session_ = *session;
    source_ = *source;
    watch_ = watch;
  }
  // Undoes a start that failed after its parts were kept, and says why.
  auto giveUp = [&](const AgentError& error) {
    {
      // A capture that never began has nothing to tell through onStopped.
      MutexLock lock(mu_);
      finished_ = true;
      session_.reset();
      source_.reset();
      watch_.reset();
    }
    if (watch) watch->stop();
    (*source)->stop();
    (*session)->close();
    if (completion) completion(tl::unexpected(CaptureError::notPermitted(error.message)));
  };
  if (auto started = (*source)->start(); !started) return giveUp(started.error());
  auto size = (*source)->negotiatedSize(kNegotiationTimeout, [this] { return abandoned_.load(); });
  if (!size) return giveUp(size.error());
  if (size->width != (*session)->display().width || size->height != (*session)->display().height) {
    Log::info("desktop: the desktop gave its stream as " + std::to_string((*session)->display().width) + "x" +
              std::to_string((*session)->display().height) + "; it streams " + std::to_string(size->width) + "x" +
              std::to_string(size->height));
    (*session)->streamSized(size->width, size->height);
  }
  const Displays::Info& display = (*session)->display();
  Log::info("desktop: recording monitor " + (*session)->displayName() + " (" + std::to_string(display.width) +
            "x" + std::to_string(display.height) + ") through PipeWire node " +
            std::to_string((*session)->pipewireNode()));
  if (completion) completion(Size{display.width, display.height});
}

std::shared_ptr<MutterMonitorWatch> GnomeScreenCapturer::watchMonitor(
    const std::shared_ptr<RemoteDesktopSession>& session) {
  // A portal's session names no connector to find its monitor by in the layout.
  auto own = std::dynamic_pointer_cast<MutterRemoteSession>(session);
  if (!own) return nullptr;
  {
    MutexLock lock(mu_);
    recorded_ = own->monitor();
  }
  std::weak_ptr<GnomeScreenCapturer> weak = weak_from_this();
  auto watch = MutterMonitorWatch::start(own->monitor(), [weak](const mutter::Change& change) {
    auto self = weak.lock();
    // mutter closes the stream of a monitor that moves, often before the layout is read.
    if (!self || self->finished_) return;
    if (change.endsCapture) {
      self->finish(AgentError(change.what));
    } else {
      Log::info("desktop: " + change.what + "; its stream and input positions stay as they were");
    }
  });
  if (!watch) {
    // The stream still ends when mutter closes it; only a switched-off monitor goes unseen.
    Log::warn("desktop: not following the monitor layout: " + watch.error().message);
    return nullptr;
  }
  return *watch;
}

std::shared_ptr<RemoteDesktopSession> GnomeScreenCapturer::session() {
  MutexLock lock(mu_);
  return finished_ ? nullptr : session_;
}

void GnomeScreenCapturer::stop() {
  std::shared_ptr<RemoteDesktopSession> session;
  std::shared_ptr<PipeWireFrameSource> source;
  std::shared_ptr<MutterMonitorWatch> watch;
  {
    MutexLock lock(mu_);
    stopping_ = true;
  }
  abandoned_ = true;
  // An open in progress finishes first; frames already queued are skipped.
  if (sampleQueue_ && !sampleQueue_->isCurrent()) (void)sampleQueue_->sync([] {});
  delivering_ = false;
  {
    MutexLock lock(mu_);
    session = std::move(session_);
    source = std::move(source_);
    watch = std::move(watch_);
    waiting_.reset();
    latest_.reset();
  }
  if (watch) watch->stop();
  if (source) source->stop();
  if (session) session->close();
  if (sampleQueue_ && !sampleQueue_->isCurrent()) (void)sampleQueue_->sync([] {});
}

void GnomeScreenCapturer::refresh() {
  // Read on the queue: a frame offered meanwhile is either queued before this task (and
  // is then the one read) or after it, so the newest picture always comes last.
  sampleQueue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    std::optional<PixelBuffer> latest;
    {
      MutexLock lock(self->mu_);
      latest = self->latest_;
    }
    if (latest && self->delivering_ && self->onFrame_) self->onFrame_(*latest, now());
  });
}

void GnomeScreenCapturer::offer(const PixelBuffer& frame) {
  {
    MutexLock lock(mu_);
    latest_ = frame;
    if (inFlight_ >= kQueueDepth) {
      waiting_ = frame;
      return;
    }
    ++inFlight_;
  }
  deliver(frame);
}

void GnomeScreenCapturer::deliver(const PixelBuffer& frame) {
  ++delivered_;
  sampleQueue_->async([weak = weak_from_this(), frame] {
    auto self = weak.lock();
    if (!self) return;
    if (self->delivering_ && self->onFrame_) self->onFrame_(frame, now());
    std::optional<PixelBuffer> next;
    {
      MutexLock lock(self->mu_);
      next = std::move(self->waiting_);
      self->waiting_.reset();
      if (!next) --self->inFlight_;
    }
    if (next) self->deliver(*next);
  });
}

void GnomeScreenCapturer::closedByDesktop(const std::string& why) {
  std::optional<mutter::Monitor> recorded;
  {
    MutexLock lock(mu_);
    recorded = recorded_;
  }
  // mutter closes a monitor's stream when the layout changes under it, and says no more;
  // the layout, already changed when the signal comes, tells the operator what happened.
  std::string reason = why;
  if (recorded) {
    if (auto bus = mutter::openSessionBus()) {
      if (auto now = mutter::currentMonitors(bus->get())) {
        if (auto change = mutter::changeOf(*recorded, *now)) reason += ": " + change->what;
      }
    }
  }
  finish(AgentError(reason));
}

void GnomeScreenCapturer::finish(const AgentError& error) {
  if (finished_.exchange(true)) return;
  Log::warn("screen capture: " + error.message);
  sampleQueue_->async([weak = weak_from_this(), error] {
    auto self = weak.lock();
    if (self && self->delivering_ && self->onStopped_) self->onStopped_(error);
  });
}

}  // namespace vela
