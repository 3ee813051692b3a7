#include "desktop/linux/x11/x11_screen_capturer.h"

#include <X11/extensions/Xdamage.h>
#include <pthread.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>

#include "desktop/linux/x11/shm_frame_pool.h"
#include "desktop/linux/x11/x11_connection.h"
#include "desktop/linux/x11/x11_cursor.h"
#include "desktop/linux/x11/x11_screen.h"
#include "util/log.h"

namespace vela {
namespace {

using Clock = std::chrono::steady_clock;

bool intersects(const XRectangle& r, const Displays::Info& d) {
  return r.x < d.x + d.width && d.x < r.x + r.width && r.y < d.y + d.height && d.y < r.y + r.height;
}

bool sameGeometry(const Displays::Info& a, const Displays::Info& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

}  // namespace

// The capture thread's X state. A tick yields a new frame, nothing when the screen did
// not change or the consumer lags, or the error that ends the capture.
class X11ScreenCapturer::Session {
 public:
  static Result<std::unique_ptr<Session>, CaptureError> open(std::optional<std::uint32_t> displayID,
                                                               bool showsCursor) {
    auto connection = x11::Connection::open();
    if (!connection) return tl::unexpected(CaptureError::notPermitted(connection.error().message));
    Display* dpy = (*connection)->display();
    if (!XShmQueryExtension(dpy))
      return tl::unexpected(CaptureError::notPermitted("the X server offers no MIT-SHM extension"));
    auto displays = x11::monitors(**connection);
    if (displays.empty()) return tl::unexpected(CaptureError::noDisplays());
    auto chosen = std::find_if(displays.begin(), displays.end(), [&](const Displays::Info& d) {
      return displayID ? d.id == *displayID : d.isMain;
    });
    const Displays::Info& display = chosen != displays.end() ? *chosen : displays.front();
    std::unique_ptr<Session> session(new Session(std::move(*connection), display, showsCursor));
    // A first image proves the pixel format and that the server can share memory.
    if (auto first = session->pool_.acquire(); !first)
      return tl::unexpected(CaptureError::notPermitted(first.error().message));
    return session;
  }

  ~Session() {
    if (connection_->lost()) return;
    if (damage_) XDamageDestroy(connection_->display(), damage_);
    if (region_) XFixesDestroyRegion(connection_->display(), region_);
  }

  const Displays::Info& display() const { return display_; }

  struct Tick {
    std::optional<PixelBuffer> frame;
    bool lagging = false;  // a change waits for the consumer
  };

  Result<Tick> tick(bool canDeliver, bool recheckLayout, bool refresh) {
    Display* dpy = connection_->display();
    if (connection_->lost()) return fail("the X display connection was lost");
    processEvents();
    if (recheckLayout || layoutChanged_) VELA_TRY_VOID(checkLayout());
    if (damagePending_) collectDamage();
    if (showsCursor_) trackPointer();
    if (connection_->lost()) return fail("the X display connection was lost");
    if (refresh) dirty_ = true;
    if (!dirty_) return Tick{};
    if (!canDeliver) return Tick{std::nullopt, true};

    auto image = pool_.acquire();
    if (!image) return tl::unexpected(image.error());
    if (!*image) return Tick{std::nullopt, true};
    if (!XShmGetImage(dpy, connection_->root(), (*image)->image(), display_.x, display_.y, AllPlanes)) {
      if (connection_->lost()) return fail("the X display connection was lost");
      VELA_TRY_VOID(checkLayout());
      return fail("reading display " + std::to_string(display_.id) + " failed");
    }
    if (showsCursor_) drawCursor(**image);
    dirty_ = false;
    return Tick{PixelBuffer{display_.width, display_.height, (*image)->stride(), (*image)->pixels(), ++serial_, *image}};
  }

 private:
  Session(std::unique_ptr<x11::Connection> connection, Displays::Info display, bool showsCursor)
      : connection_(std::move(connection)),
        display_(display),
        showsCursor_(showsCursor),
        pool_(connection_->display(), display.width, display.height, kQueueDepth + 1) {
    Display* dpy = connection_->display();
    Window root = connection_->root();
    int error = 0;
    if (XDamageQueryExtension(dpy, &damageEvent_, &error)) {
      damage_ = XDamageCreate(dpy, root, XDamageReportNonEmpty);
    }
    if (XFixesQueryExtension(dpy, &fixesEvent_, &error)) {
      hasFixes_ = true;
      region_ = XFixesCreateRegion(dpy, nullptr, 0);
      if (showsCursor_) XFixesSelectCursorInput(dpy, root, XFixesDisplayCursorNotifyMask);
    }
    if (XRRQueryExtension(dpy, &randrEvent_, &error)) {
      hasRandR_ = true;
      XRRSelectInput(dpy, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    // Without damage reports every tick has to read the screen.
    alwaysDirty_ = !damage_ || !region_;
  }

  void processEvents() {
    Display* dpy = connection_->display();
    while (!connection_->lost() && XPending(dpy) > 0) {
      XEvent event;
      XNextEvent(dpy, &event);
      if (damage_ && event.type == damageEvent_ + XDamageNotify) {
        damagePending_ = true;
      } else if (hasFixes_ && event.type == fixesEvent_ + XFixesCursorNotify) {
        cursorChanged_ = true;
      } else if (hasRandR_ && (event.type == randrEvent_ + RRScreenChangeNotify || event.type == randrEvent_ + RRNotify)) {
        XRRUpdateConfiguration(&event);
        layoutChanged_ = true;
      }
    }
    if (alwaysDirty_) dirty_ = true;
  }

  Result<void> checkLayout() {
    layoutChanged_ = false;
    auto displays = x11::monitors(*connection_);
    if (connection_->lost()) return fail("the X display connection was lost");
    auto now = std::find_if(displays.begin(), displays.end(), [&](const auto& d) { return d.id == display_.id; });
    if (now == displays.end()) return fail("display " + std::to_string(display_.id) + " went away");
    if (!sameGeometry(*now, display_)) return fail("display " + std::to_string(display_.id) + " changed its geometry");
    return {};
  }

  void collectDamage() {
    Display* dpy = connection_->display();
    damagePending_ = false;
    XDamageSubtract(dpy, damage_, None, region_);
    int count = 0;
    XRectangle* rects = XFixesFetchRegion(dpy, region_, &count);
    for (int i = 0; rects && i < count && !dirty_; ++i) dirty_ = intersects(rects[i], display_);
    if (rects) XFree(rects);
  }

  void trackPointer() {
    Window rootReturn, child;
    int x = 0, y = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    bool onScreen = XQueryPointer(connection_->display(), connection_->root(), &rootReturn, &child, &x, &y, &winX,
                                  &winY, &mask);
    if (!onScreen) x = y = -1 << 20;
    if (x != pointerX_ || y != pointerY_ || cursorChanged_) {
      // Only a pointer over (or just leaving) this monitor changes its pixels.
      constexpr int kReach = 128;
      auto near = [&](int px, int py) {
        return px > display_.x - kReach && px < display_.x + display_.width + kReach && py > display_.y - kReach &&
               py < display_.y + display_.height + kReach;
      };
      if (near(x, y) || near(pointerX_, pointerY_)) dirty_ = true;
      pointerX_ = x;
      pointerY_ = y;
    }
  }

  void drawCursor(x11::ShmImage& image) {
    if (!hasFixes_) return;
    if (cursorChanged_ || !cursor_) {
      cursor_ = x11::fetchCursor(connection_->display());
      cursorChanged_ = false;
    }
    if (cursor_)
      x11::compositeCursor(*cursor_, pointerX_ - display_.x, pointerY_ - display_.y, image.pixels(), image.stride(),
                           display_.width, display_.height);
  }

  std::unique_ptr<x11::Connection> connection_;
  const Displays::Info display_;
  const bool showsCursor_;
  x11::ShmFramePool pool_;
  int damageEvent_ = 0, fixesEvent_ = 0, randrEvent_ = 0;
  Damage damage_ = 0;
  XserverRegion region_ = 0;
  bool hasFixes_ = false, hasRandR_ = false, alwaysDirty_ = true;
  bool dirty_ = true, damagePending_ = false, cursorChanged_ = true, layoutChanged_ = false;
  std::optional<x11::CursorImage> cursor_;
  int pointerX_ = -1, pointerY_ = -1;
  std::uint64_t serial_ = 0;
};

std::shared_ptr<X11ScreenCapturer> X11ScreenCapturer::create(Config config) {
  return std::shared_ptr<X11ScreenCapturer>(new X11ScreenCapturer(config));
}

X11ScreenCapturer::X11ScreenCapturer(Config config)
    : config_{std::max(1, config.fps), config.showsCursor},
      sampleQueue_(std::make_shared<SerialQueue>("vela.screencap.samples")) {}

X11ScreenCapturer::~X11ScreenCapturer() {
  stop();
  sampleQueue_.reset();
}

void X11ScreenCapturer::start(std::optional<std::uint32_t> displayID, StartCompletion completion) {
  MutexLock lock(mu_);
  if (thread_.joinable() || stopping_) return;
  thread_ = std::thread([this, displayID, completion = std::move(completion)]() mutable {
    pthread_setname_np(pthread_self(), "vela.screencap");
    run(displayID, std::move(completion));
  });
}

void X11ScreenCapturer::stop() {
  std::thread thread;
  {
    MutexLock lock(mu_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  wake_.notifyAll();
  if (thread.joinable()) thread.join();
  delivering_ = false;
  // Frames already queued are skipped; one being delivered right now is waited for. A
  // queue that has stopped runs nothing more, which is all the wait is for.
  if (sampleQueue_ && !sampleQueue_->isCurrent()) (void)sampleQueue_->sync([] {});
}

bool X11ScreenCapturer::waitForTick(Clock::time_point due) {
  MutexLock lock(mu_);
  while (!stopping_ && wake_.waitUntil(mu_, due)) {
  }
  return !stopping_;
}

void X11ScreenCapturer::run(std::optional<std::uint32_t> displayID, StartCompletion completion) {
  auto session = Session::open(displayID, config_.showsCursor);
  std::weak_ptr<X11ScreenCapturer> weak = weak_from_this();
  Result<Size, CaptureError> started = session ? Result<Size, CaptureError>(Size{(*session)->display().width,
                                                                                  (*session)->display().height})
                                               : tl::unexpected(session.error());
  sampleQueue_->async([weak, completion = std::move(completion), started] {
    if (weak.lock() && completion) completion(started);
  });
  if (!session) return;

  const auto interval = std::chrono::nanoseconds(1'000'000'000 / config_.fps);
  auto due = Clock::now();
  auto nextLayoutCheck = due + std::chrono::seconds(1);
  while (true) {
    due += interval;
    auto now = Clock::now();
    if (now > due + interval) due = now;  // fell behind: skip the missed ticks, no burst
    if (!waitForTick(due)) break;
    bool recheck = Clock::now() >= nextLayoutCheck;
    if (recheck) nextLayoutCheck += std::chrono::seconds(1);
    // A change a lagging consumer missed stays pending in the session, so a refresh too.
    auto tick = (*session)->tick(inFlight_.load() < kQueueDepth, recheck, refresh_.exchange(false));
    if (!tick) {
      finish(tick.error());
      break;
    }
    if (tick->lagging) ++dropped_;
    if (!tick->frame) continue;
    ++reads_;
    deliver(*tick->frame, std::chrono::duration_cast<MediaTime>(Clock::now().time_since_epoch()));
  }
  session->reset();
}

void X11ScreenCapturer::deliver(const PixelBuffer& frame, MediaTime pts) {
  ++inFlight_;
  ++delivered_;
  sampleQueue_->async([weak = weak_from_this(), frame, pts] {
    auto self = weak.lock();
    if (!self) return;
    if (self->delivering_ && self->onFrame_) self->onFrame_(frame, pts);
    --self->inFlight_;
  });
}

void X11ScreenCapturer::finish(std::optional<AgentError> error) {
  if (error) Log::warn("screen capture: " + error->message);
  sampleQueue_->async([weak = weak_from_this(), error = std::move(error)] {
    auto self = weak.lock();
    if (self && self->delivering_ && self->onStopped_) self->onStopped_(error);
  });
}

}  // namespace vela
