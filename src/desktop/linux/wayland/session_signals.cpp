#include "desktop/linux/wayland/session_signals.h"

#include <pthread.h>

#include <memory>

namespace vela {
namespace {

struct Departure {
  std::string whenServiceLeaves;
  SessionSignals::Departed departed;
};

void onSignal(GDBusConnection*, const gchar*, const gchar* path, const gchar* interface, const gchar* signal,
              GVariant* params, gpointer data) {
  (*static_cast<SessionSignals::Handler*>(data))(path, interface, signal, params);
}

void onOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* params,
                    gpointer data) {
  if (!g_variant_is_of_type(params, G_VARIANT_TYPE("(sss)"))) return;
  const gchar* newOwner = nullptr;
  g_variant_get(params, "(&s&s&s)", nullptr, nullptr, &newOwner);
  auto* departure = static_cast<Departure*>(data);
  if (!*newOwner) departure->departed(departure->whenServiceLeaves);
}

void onConnectionClosed(GDBusConnection*, gboolean, GError*, gpointer data) {
  static_cast<Departure*>(data)->departed("the session bus went away");
}

template <typename T>
void deleteAs(gpointer data) {
  delete static_cast<T*>(data);
}

// Subscriptions deliver to the thread-default context of the subscribing thread.
class ContextScope {
 public:
  explicit ContextScope(GMainContext* context) : context_(context) { g_main_context_push_thread_default(context_); }
  ~ContextScope() { g_main_context_pop_thread_default(context_); }
  ContextScope(const ContextScope&) = delete;
  ContextScope& operator=(const ContextScope&) = delete;

 private:
  GMainContext* const context_;
};

}  // namespace

Result<std::unique_ptr<SessionSignals>> SessionSignals::open(const char* threadName) {
  std::unique_ptr<SessionSignals> signals(new SessionSignals(threadName));
  ContextScope scope(signals->context_);
  signals->bus_ = VELA_TRY(mutter::openSessionBus());
  return signals;
}

SessionSignals::SessionSignals(const char* threadName)
    : threadName_(threadName), context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {}

SessionSignals::~SessionSignals() {
  unsubscribe();
  if (!thread_.joinable()) {
    // Nothing else runs the context, and GDBus frees what the subscriptions held in
    // callbacks queued there.
    while (g_main_context_iteration(context_, FALSE)) {
    }
  }
  // Queued on the loop rather than set now, so a loop that has not begun running yet
  // still ends.
  GSource* quit = g_idle_source_new();
  g_source_set_callback(
      quit,
      [](gpointer loop) {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      loop_, nullptr);
  g_source_attach(quit, context_);
  g_source_unref(quit);
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void SessionSignals::subscribe(const char* sender, const char* interface, const char* signal, const char* path,
                               Handler handler) {
  ContextScope scope(context_);
  subscriptions_.push_back(g_dbus_connection_signal_subscribe(bus_.get(), sender, interface, signal, path, nullptr,
                                                              G_DBUS_SIGNAL_FLAGS_NONE, &onSignal,
                                                              new Handler(std::move(handler)), &deleteAs<Handler>));
}

void SessionSignals::watchDeparture(const char* service, std::string whenServiceLeaves, Departed departed) {
  ContextScope scope(context_);
  subscriptions_.push_back(g_dbus_connection_signal_subscribe(
      bus_.get(), "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus", service,
      G_DBUS_SIGNAL_FLAGS_NONE, &onOwnerChanged, new Departure{std::move(whenServiceLeaves), departed},
      &deleteAs<Departure>));
  closedHandlerID_ = g_signal_connect_data(
      bus_.get(), "closed", G_CALLBACK(&onConnectionClosed), new Departure{"", std::move(departed)},
      [](gpointer data, GClosure*) { deleteAs<Departure>(data); }, G_CONNECT_DEFAULT);
}

void SessionSignals::iterate() { g_main_context_iteration(context_, TRUE); }

void SessionSignals::start() {
  // Started only now: a context is owned by one thread at a time, and until now it was
  // the opener's. The thread holds references of its own: its owner may be destroyed
  // on it, from one of the loop's callbacks, before the loop returns.
  thread_ = std::thread([loop = g_main_loop_ref(loop_), context = g_main_context_ref(context_),
                         name = threadName_] {
    pthread_setname_np(pthread_self(), name.c_str());
    g_main_context_push_thread_default(context);
    g_main_loop_run(loop);
    g_main_context_pop_thread_default(context);
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  });
}

void SessionSignals::unsubscribe() {
  for (guint id : subscriptions_) g_dbus_connection_signal_unsubscribe(bus_.get(), id);
  subscriptions_.clear();
  if (closedHandlerID_) g_signal_handler_disconnect(bus_.get(), closedHandlerID_);
  closedHandlerID_ = 0;
}

}  // namespace vela
