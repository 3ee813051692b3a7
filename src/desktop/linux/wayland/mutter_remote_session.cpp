#include "desktop/linux/wayland/mutter_remote_session.h"

#include <algorithm>
#include <chrono>

#include "util/log.h"

namespace vela {
namespace {

constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kStreamInterface = "org.gnome.Mutter.ScreenCast.Stream";
// mutter announces the stream within milliseconds; a second is its own trouble.
constexpr auto kNodeTimeout = std::chrono::seconds(5);

CaptureError refused(const std::string& why) { return CaptureError::notPermitted(why); }

std::string pathOf(const mutter::Variant& reply) {
  const gchar* path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  return path;
}

}  // namespace

Result<std::shared_ptr<MutterRemoteSession>, CaptureError> MutterRemoteSession::open(
    std::optional<std::uint32_t> displayID, CursorMode cursor, ClosedHandler onClosed) {
  auto signals = SessionSignals::open("vela.mutter");
  if (!signals) return tl::unexpected(refused(signals.error().message));
  if (auto why = mutter::whyUnavailable(); !why.empty()) return tl::unexpected(refused(why));
  auto monitors = mutter::currentMonitors((*signals)->bus());
  if (!monitors) return tl::unexpected(refused(monitors.error().message));
  if (monitors->empty()) return tl::unexpected(CaptureError::noDisplays());
  auto chosen = std::find_if(monitors->begin(), monitors->end(), [&](const mutter::Monitor& m) {
    return displayID ? m.info.id == *displayID : m.info.isMain;
  });
  const mutter::Monitor& monitor = chosen != monitors->end() ? *chosen : monitors->front();
  std::shared_ptr<MutterRemoteSession> session(
      new MutterRemoteSession(std::move(*signals), monitor, std::move(onClosed)));
  if (auto started = session->start(cursor); !started) return tl::unexpected(started.error());
  return session;
}

Result<std::shared_ptr<MutterRemoteSession>, CaptureError> MutterRemoteSession::openConnector(
    const std::string& connector, CursorMode cursor, ClosedHandler onClosed) {
  auto signals = SessionSignals::open("vela.mutter");
  if (!signals) return tl::unexpected(refused(signals.error().message));
  mutter::Monitor monitor;
  monitor.connector = connector;
  auto monitors = mutter::currentMonitors((*signals)->bus());
  if (monitors) {
    for (const auto& m : *monitors) {
      if (m.connector == connector) monitor = m;
    }
  }
  std::shared_ptr<MutterRemoteSession> session(
      new MutterRemoteSession(std::move(*signals), monitor, std::move(onClosed)));
  if (auto started = session->start(cursor); !started) return tl::unexpected(started.error());
  return session;
}

RemoteDesktopSession::Opener MutterRemoteSession::opener() {
  return [](std::optional<std::uint32_t> displayID, bool showsCursor, ClosedHandler onClosed,
            std::function<bool()>) -> Result<std::shared_ptr<RemoteDesktopSession>, CaptureError> {
    return open(displayID, showsCursor ? CursorMode::embedded : CursorMode::hidden, std::move(onClosed));
  };
}

MutterRemoteSession::MutterRemoteSession(std::unique_ptr<SessionSignals> signals, mutter::Monitor monitor,
                                         ClosedHandler onClosed)
    : signals_(std::move(signals)),
      bus_(signals_->bus()),
      monitor_(std::move(monitor)),
      stream_(monitor_.info),
      onClosed_(std::move(onClosed)) {}

MutterRemoteSession::~MutterRemoteSession() { close(); }

Result<void, CaptureError> MutterRemoteSession::start(CursorMode cursor) {
  GDBusConnection* bus = bus_;
  auto created = mutter::call(bus, mutter::kRemoteDesktopName, kRemoteDesktopPath, mutter::kRemoteDesktopName,
                              "CreateSession", nullptr, "(o)");
  if (!created) return tl::unexpected(refused("mutter refused a remote-desktop session: " + created.error().message));
  sessionPath_ = pathOf(*created);
  auto id = mutter::call(bus, mutter::kRemoteDesktopName, sessionPath_, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", kSessionInterface, "SessionId"), "(v)");
  if (!id) {
    close();
    return tl::unexpected(refused("mutter's remote-desktop session has no id: " + id.error().message));
  }
  mutter::Variant idValue(g_variant_get_child_value(id->get(), 0));
  mutter::Variant idText(g_variant_get_variant(idValue.get()));
  if (!g_variant_is_of_type(idText.get(), G_VARIANT_TYPE_STRING)) {
    close();
    return tl::unexpected(refused("mutter's remote-desktop session id is not a string"));
  }

  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id",
                        g_variant_new_string(g_variant_get_string(idText.get(), nullptr)));
  auto cast = mutter::call(bus, mutter::kScreenCastName, kScreenCastPath, mutter::kScreenCastName, "CreateSession",
                           g_variant_new("(a{sv})", &options), "(o)");
  if (!cast) {
    close();
    return tl::unexpected(refused("mutter refused a screen cast: " + cast.error().message));
  }

  GVariantBuilder recordOptions;
  g_variant_builder_init(&recordOptions, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&recordOptions, "{sv}", "cursor-mode", g_variant_new_uint32(static_cast<std::uint32_t>(cursor)));
  auto stream = mutter::call(bus, mutter::kScreenCastName, pathOf(*cast), "org.gnome.Mutter.ScreenCast.Session",
                             "RecordMonitor", g_variant_new("(sa{sv})", monitor_.connector.c_str(), &recordOptions),
                             "(o)");
  if (!stream) {
    close();
    return tl::unexpected(refused("mutter cannot record monitor " + monitor_.connector + ": " + stream.error().message));
  }
  streamPath_ = pathOf(*stream);
  subscribe();
  auto started = mutter::call(bus, mutter::kRemoteDesktopName, sessionPath_, kSessionInterface, "Start", nullptr, "()");
  if (!started) {
    close();
    return tl::unexpected(refused("mutter did not start the session: " + started.error().message));
  }
  MutexLock lock(mu_);
  const auto deadline = std::chrono::steady_clock::now() + kNodeTimeout;
  while (!announcedNode_ && !ended_ && changed_.waitUntil(mu_, deadline)) {
  }
  if (announcedNode_ && !ended_) {
    node_ = *announcedNode_;
    running_ = true;
    return {};
  }
  bool ended = ended_;
  lock.unlock();
  close();
  return tl::unexpected(refused(ended ? "mutter closed the session as it started"
                                      : "mutter announced no PipeWire stream for monitor " + monitor_.connector));
}

void MutterRemoteSession::subscribe() {
  std::weak_ptr<MutterRemoteSession> weak = weak_from_this();
  signals_->subscribe(mutter::kScreenCastName, kStreamInterface, "PipeWireStreamAdded", streamPath_.c_str(),
                      [weak](const std::string&, const std::string&, const std::string&, GVariant* params) {
                        auto self = weak.lock();
                        if (!self || !g_variant_is_of_type(params, G_VARIANT_TYPE("(u)"))) return;
                        guint32 node = 0;
                        g_variant_get(params, "(u)", &node);
                        {
                          MutexLock lock(self->mu_);
                          self->announcedNode_ = node;
                        }
                        self->changed_.notifyAll();
                      });
  signals_->subscribe(mutter::kRemoteDesktopName, kSessionInterface, "Closed", sessionPath_.c_str(),
                      [weak](const std::string&, const std::string&, const std::string&, GVariant*) {
                        if (auto self = weak.lock()) self->closedByMutter("mutter closed the remote-desktop session");
                      });
  signals_->watchDeparture(mutter::kRemoteDesktopName, "mutter left the session bus", [weak](const std::string& why) {
    if (auto self = weak.lock()) self->closedByMutter(why);
  });
  signals_->start();
}

void MutterRemoteSession::closedByMutter(const std::string& why) {
  bool opening = false;
  {
    MutexLock lock(mu_);
    if (ended_) return;
    ended_ = true;
    opening = !running_;
  }
  changed_.notifyAll();
  Log::info("desktop: " + why);
  // While opening, open() reports it; the capture has not begun.
  if (!opening && onClosed_) onClosed_(why);
}

void MutterRemoteSession::notify(const char* method, GVariant* params) {
  {
    MutexLock lock(mu_);
    if (ended_) {
      g_variant_unref(g_variant_ref_sink(params));
      return;
    }
  }
  g_dbus_connection_call(bus_, mutter::kRemoteDesktopName, sessionPath_.c_str(), kSessionInterface, method,
                         params, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
}

void MutterRemoteSession::pointerMotion(double x, double y) {
  notify("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", streamPath_.c_str(), x, y));
}

void MutterRemoteSession::pointerButton(std::int32_t evdevCode, bool pressed) {
  notify("NotifyPointerButton", g_variant_new("(ib)", evdevCode, pressed));
}

void MutterRemoteSession::pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) {
  notify("NotifyPointerAxisDiscrete", g_variant_new("(ui)", axis, steps));
}

void MutterRemoteSession::keyboardKeycode(std::uint32_t evdevCode, bool pressed) {
  notify("NotifyKeyboardKeycode", g_variant_new("(ub)", evdevCode, pressed));
}

void MutterRemoteSession::close() {
  bool wasOpen = false;
  {
    MutexLock lock(mu_);
    wasOpen = !ended_;
    ended_ = true;
  }
  changed_.notifyAll();
  signals_->unsubscribe();
  if (wasOpen && !sessionPath_.empty() && !g_dbus_connection_is_closed(bus_)) {
    // Waits for the reply, so the input sent before is processed and mutter lets go of
    // the monitor before this returns.
    (void)mutter::call(bus_, mutter::kRemoteDesktopName, sessionPath_, kSessionInterface, "Stop", nullptr,
                       nullptr);
  }
}

}  // namespace vela
