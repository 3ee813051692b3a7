#include "desktop/linux/portal/portal_session.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <random>

#include "util/log.h"

namespace vela {
namespace {

constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";
// How often a wait for the person looks whether its capture was abandoned.
constexpr guint kPollMillis = 100;
// An input event the portal has not passed on by then is not worth holding the next for.
constexpr int kInputTimeoutMillis = 1000;
// Input waiting for a slow portal; beyond it the operator's input is stale and dropped.
constexpr int kMaxPendingInput = 64;

CaptureError refused(const std::string& why) { return CaptureError::notPermitted(why); }

// Tokens only need to be unique per connection; a random part keeps two sessions of
// one process apart in logs.
std::string tokenPrefix() {
  static const unsigned prefix = std::random_device{}() & 0xffffff;
  return "vela" + std::to_string(prefix) + "_";
}

void addToken(GVariantBuilder* options, const std::string& key, const std::string& token) {
  g_variant_builder_add(options, "{sv}", key.c_str(), g_variant_new_string(token.c_str()));
}

}  // namespace

RemoteDesktopSession::Opener PortalRemoteSession::opener() {
  return [](std::optional<std::uint32_t>, bool showsCursor, ClosedHandler onClosed, std::function<bool()> abandoned) {
    // The person picks the monitor in the portal's dialog; a display id has no meaning there.
    return open(showsCursor, std::move(onClosed), std::move(abandoned));
  };
}

Result<std::shared_ptr<RemoteDesktopSession>, CaptureError> PortalRemoteSession::open(
    bool showsCursor, ClosedHandler onClosed, std::function<bool()> abandoned,
    std::chrono::milliseconds answerTimeout) {
  auto signals = SessionSignals::open("vela.portal");
  if (!signals) return tl::unexpected(refused(signals.error().message));
  std::shared_ptr<PortalRemoteSession> session(
      new PortalRemoteSession(std::move(*signals), std::move(onClosed), std::move(abandoned), answerTimeout));
  if (auto started = session->start(showsCursor); !started) {
    session->close();
    return tl::unexpected(refused(started.error().message));
  }
  return session;
}

PortalRemoteSession::PortalRemoteSession(std::unique_ptr<SessionSignals> signals, ClosedHandler onClosed,
                                         std::function<bool()> abandoned, std::chrono::milliseconds answerTimeout)
    : signals_(std::move(signals)),
      bus_(signals_->bus()),
      onClosed_(std::move(onClosed)),
      abandoned_(std::move(abandoned)),
      answerTimeout_(answerTimeout) {}

PortalRemoteSession::~PortalRemoteSession() {
  close();
  if (pipewireFd_ >= 0) ::close(pipewireFd_);
}

Result<void> PortalRemoteSession::start(bool showsCursor) {
  GDBusConnection* bus = bus_;
  subscribeSession();

  auto cursorModes = mutter::call(bus, portal::kBusName, portal::kObjectPath, "org.freedesktop.DBus.Properties", "Get",
                                  g_variant_new("(ss)", portal::kScreenCast, "AvailableCursorModes"), "(v)",
                                  G_DBUS_CALL_FLAGS_NONE);
  const std::uint32_t available = cursorModes ? portal::uintPropertyOf(cursorModes->get()).value_or(0) : 0;

  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  addToken(&options, "session_handle_token", tokenPrefix() + "session");
  auto created = VELA_TRY(request(portal::kRemoteDesktop, "CreateSession", nullptr, &options));
  sessionPath_ = VELA_TRY(portal::sessionHandleOf(created.get()));

  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(portal::kKeyboard | portal::kPointer));
  VELA_TRY_VOID(request(portal::kRemoteDesktop, "SelectDevices", g_variant_new_object_path(sessionPath_.c_str()),
                   &options));

  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(portal::kMonitor));
  g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
  if (const std::uint32_t mode = portal::cursorModeFor(available, showsCursor))
    g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(mode));
  VELA_TRY_VOID(request(portal::kScreenCast, "SelectSources", g_variant_new_object_path(sessionPath_.c_str()), &options));

  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  auto startedReply = VELA_TRY(request(portal::kRemoteDesktop, "Start",
                                       g_variant_new("(os)", sessionPath_.c_str(), ""), &options));
  auto started = VELA_TRY(portal::startedOf(startedReply.get()));
  if ((started.devices & (portal::kPointer | portal::kKeyboard)) == 0) {
    refusesInput_ = "the person at the screen shared the screen without allowing remote interaction";
  } else if ((started.devices & portal::kPointer) == 0 || (started.devices & portal::kKeyboard) == 0) {
    Log::warn("desktop: the portal granted only one of keyboard and pointer; the other's input is dropped");
  }
  stream_ = started.streams.front();
  VELA_TRY_VOID(openPipeWire());
  {
    MutexLock lock(mu_);
    if (ended_) return fail("the desktop portal closed the session as it started");
    running_ = true;
  }
  signals_->start();
  return {};
}

Result<mutter::Variant> PortalRemoteSession::request(const char* interface, const char* method, GVariant* leading,
                                                     GVariantBuilder* options) {
  const std::string token = tokenPrefix() + std::to_string(++requests_);
  addToken(options, "handle_token", token);
  {
    MutexLock lock(mu_);
    awaitedPath_ = portal::requestPath(g_dbus_connection_get_unique_name(bus_), token);
    answer_.reset();
  }
  GVariant* params = nullptr;
  if (!leading) {
    params = g_variant_new("(a{sv})", options);
  } else if (g_variant_is_of_type(leading, G_VARIANT_TYPE_TUPLE)) {
    // Start: (session, parent window) before the options.
    const gchar* session = nullptr;
    const gchar* parent = nullptr;
    g_variant_get(leading, "(&o&s)", &session, &parent);
    params = g_variant_new("(osa{sv})", session, parent, options);
    g_variant_unref(g_variant_ref_sink(leading));
  } else {
    params = g_variant_new("(@oa{sv})", leading, options);
  }
  // The portal is started on demand, like any bus-activated service.
  auto handle = mutter::call(bus_, portal::kBusName, portal::kObjectPath, interface, method, params, "(o)",
                             G_DBUS_CALL_FLAGS_NONE);
  if (!handle) return fail("the desktop portal refused " + handle.error().message);
  {
    // A portal older than handle tokens answers on a path of its own choosing.
    const gchar* path = nullptr;
    g_variant_get(handle->get(), "(&o)", &path);
    MutexLock lock(mu_);
    awaitedPath_ = path;
  }

  GSource* tick = g_timeout_source_new(kPollMillis);
  g_source_set_callback(tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
  g_source_attach(tick, signals_->context());
  const auto deadline = std::chrono::steady_clock::now() + answerTimeout_;
  std::string gaveUp;
  for (;;) {
    signals_->iterate();
    const bool abandoned = abandoned_ && abandoned_();
    MutexLock lock(mu_);
    if (answer_) break;
    if (ended_) {
      gaveUp = (endedWhy_.empty() ? "the session was closed" : endedWhy_) + " while the person at the screen was asked";
    } else if (abandoned) {
      gaveUp = "the session ended while the person at the screen was asked";
    } else if (std::chrono::steady_clock::now() > deadline) {
      gaveUp = "nobody answered the desktop's sharing dialog in time";
    }
    if (!gaveUp.empty()) break;
  }
  g_source_destroy(tick);
  g_source_unref(tick);
  std::optional<Answer> answer;
  std::string path;
  {
    MutexLock lock(mu_);
    answer = std::move(answer_);
    answer_.reset();
    path = std::exchange(awaitedPath_, "");
  }
  if (!answer) {
    // Withdraws the dialog still on screen.
    (void)mutter::call(bus_, portal::kBusName, path, kRequestInterface, "Close", nullptr, nullptr);
    return fail(gaveUp);
  }
  VELA_TRY_VOID(portal::checkResponse(answer->code, method));
  return std::move(answer->results);
}

Result<void> PortalRemoteSession::openPipeWire() {
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  GUnixFDList* fds = nullptr;
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      bus_, portal::kBusName, portal::kObjectPath, portal::kScreenCast, "OpenPipeWireRemote",
      g_variant_new("(oa{sv})", sessionPath_.c_str(), &options), G_VARIANT_TYPE("(h)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 10'000, nullptr, &fds, nullptr, &error);
  if (!reply) {
    std::string why = error ? error->message : "no reply";
    g_clear_error(&error);
    return fail("the desktop portal gave no PipeWire connection: " + why);
  }
  gint32 index = -1;
  g_variant_get(reply, "(h)", &index);
  g_variant_unref(reply);
  const int fd = fds ? g_unix_fd_list_get(fds, index, &error) : -1;
  if (fds) g_object_unref(fds);
  if (fd < 0) {
    std::string why = error ? error->message : "no descriptor in the reply";
    g_clear_error(&error);
    return fail("the desktop portal gave no PipeWire connection: " + why);
  }
  pipewireFd_ = fd;
  return {};
}

void PortalRemoteSession::subscribeSession() {
  std::weak_ptr<PortalRemoteSession> weak = weak_from_this();
  signals_->subscribe(portal::kBusName, nullptr, nullptr, nullptr,
                      [weak](const std::string& path, const std::string& interface, const std::string& signal,
                             GVariant* params) {
                        if (auto self = weak.lock()) self->onSignal(path, interface, signal, params);
                      });
  signals_->watchDeparture(portal::kBusName, "the desktop portal left the session bus",
                           [weak](const std::string& why) {
                             if (auto self = weak.lock()) self->closedByPortal(why);
                           });
}

void PortalRemoteSession::onSignal(const std::string& path, const std::string& interface, const std::string& signal,
                                   GVariant* params) {
  if (signal == "Response" && interface == kRequestInterface) {
    if (!g_variant_is_of_type(params, G_VARIANT_TYPE("(ua{sv})"))) return;
    MutexLock lock(mu_);
    if (path != awaitedPath_) return;
    Answer answer;
    g_variant_get(params, "(u@a{sv})", &answer.code, nullptr);
    answer.results.reset(g_variant_get_child_value(params, 1));
    answer_ = std::move(answer);
  } else if (signal == "Closed" && interface == kSessionInterface) {
    if (path == sessionPath_) closedByPortal("the desktop portal closed the remote-desktop session");
  }
}

void PortalRemoteSession::closedByPortal(const std::string& why) {
  bool opening = false;
  {
    MutexLock lock(mu_);
    if (ended_) return;
    ended_ = true;
    portalGone_ = true;
    endedWhy_ = why;
    opening = !running_;
  }
  Log::info("desktop: " + why);
  // While opening, the wait reports it; the capture has not begun.
  if (!opening && onClosed_) onClosed_(why);
}

void PortalRemoteSession::notify(const char* method, GVariant* params) {
  std::shared_ptr<GVariant> call(g_variant_ref_sink(params), &g_variant_unref);
  {
    MutexLock lock(mu_);
    if (ended_) return;
    if (pendingInput_ >= kMaxPendingInput) {
      if (!warnedBacklog_)
        Log::warn("desktop: the desktop portal is slow to take input; dropping the operator's input");
      warnedBacklog_ = true;
      return;
    }
    ++pendingInput_;
  }
  // The caller's queue also ends and records the session: a slow portal must not hold it.
  inputQueue_.async([weak = weak_from_this(), method, call] {
    if (auto self = weak.lock()) self->send(method, call.get());
  });
}

void PortalRemoteSession::send(const char* method, GVariant* params) {
  {
    MutexLock lock(mu_);
    --pendingInput_;
    // A portal that timed out once drops what waited behind it, so close() is not held.
    if (portalGone_ || stalled_) {
      stalled_ = pendingInput_ > 0;
      return;
    }
  }
  // Each call waits for its reply: the portal handles calls on a pool of threads and
  // would otherwise reorder keys typed quickly ("Hallo 42" arrived as "Hallo4 2").
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus_, portal::kBusName, portal::kObjectPath,
                                                portal::kRemoteDesktop, method, params, nullptr,
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START, kInputTimeoutMillis, nullptr, &error);
  if (reply) {
    g_variant_unref(reply);
    return;
  }
  Log::debug(std::string("desktop: portal input ") + method + ": " + (error ? error->message : "no reply"));
  const bool timedOut = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
  g_clear_error(&error);
  if (timedOut) {
    MutexLock lock(mu_);
    stalled_ = pendingInput_ > 0;
  }
}

void PortalRemoteSession::pointerMotion(double x, double y) {
  notify("NotifyPointerMotionAbsolute",
         g_variant_new("(oa{sv}udd)", sessionPath_.c_str(), nullptr, stream_.node, x, y));
}

void PortalRemoteSession::pointerButton(std::int32_t evdevCode, bool pressed) {
  notify("NotifyPointerButton",
         g_variant_new("(oa{sv}iu)", sessionPath_.c_str(), nullptr, evdevCode, pressed ? 1u : 0u));
}

void PortalRemoteSession::pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) {
  notify("NotifyPointerAxisDiscrete", g_variant_new("(oa{sv}ui)", sessionPath_.c_str(), nullptr, axis, steps));
}

void PortalRemoteSession::keyboardKeycode(std::uint32_t evdevCode, bool pressed) {
  notify("NotifyKeyboardKeycode", g_variant_new("(oa{sv}iu)", sessionPath_.c_str(), nullptr,
                                                static_cast<std::int32_t>(evdevCode), pressed ? 1u : 0u));
}

void PortalRemoteSession::close() {
  bool wasOpen = false;
  {
    MutexLock lock(mu_);
    wasOpen = !ended_;
    ended_ = true;
  }
  signals_->unsubscribe();
  // The input sent before goes first; run on the input queue itself, it already has.
  if (!inputQueue_.isCurrent()) (void)inputQueue_.sync([] {});
  if (wasOpen && !sessionPath_.empty() && !g_dbus_connection_is_closed(bus_)) {
    // Waits for the reply, so the input sent before is delivered first.
    (void)mutter::call(bus_, portal::kBusName, sessionPath_, kSessionInterface, "Close", nullptr, nullptr);
  }
}

}  // namespace vela
