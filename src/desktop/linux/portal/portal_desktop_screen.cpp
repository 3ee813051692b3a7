#include "desktop/linux/portal/portal_desktop_screen.h"

#include "desktop/linux/portal/portal_reply.h"
#include "desktop/linux/portal/portal_session.h"
#include "desktop/linux/wayland/gnome_screen_capturer.h"
#include "desktop/linux/wayland/mutter_bus.h"
#include "desktop/linux/wayland/mutter_input_injector.h"
#include "desktop/linux/wayland/session_type.h"

namespace vela {
namespace {

constexpr const char* kUnattended =
    "unattended sessions need GNOME's remote-desktop API; this desktop offers only the portal, which asks the "
    "person at the screen";

// The interface's version, starting the portal when it is not running yet.
Result<std::uint32_t> versionOf(GDBusConnection* bus, const char* interface) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, portal::kBusName, portal::kObjectPath,
                                                "org.freedesktop.DBus.Properties", "Get",
                                                g_variant_new("(ss)", interface, "version"), G_VARIANT_TYPE("(v)"),
                                                G_DBUS_CALL_FLAGS_NONE, 10'000, nullptr, &error);
  if (!reply) {
    std::string why;
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN)) {
      why = "there is no desktop portal on the session bus";
    } else if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE) ||
               g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY) ||
               g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS)) {
      // GDBus's own property handler answers an interface it does not export with
      // InvalidArgs.
      why = std::string("the desktop portal offers no ") + interface;
    } else {
      if (error && g_dbus_error_is_remote_error(error)) g_dbus_error_strip_remote_error(error);
      why = std::string("the desktop portal did not say whether it offers ") + interface + ": " +
            (error ? error->message : "no reply");
    }
    g_clear_error(&error);
    return fail(why);
  }
  mutter::Variant owned(reply);
  return portal::uintPropertyOf(reply);
}

class PortalDesktopScreen final : public DesktopScreen {
 public:
  ScreenPermissions::Summary permissions() override {
    const bool usable = portalWhyUnavailable().empty();
    return {usable, usable};
  }

  // The person picks the monitor in the portal's dialog: none is known before.
  std::vector<Displays::Info> displays() override { return {}; }

  std::shared_ptr<ScreenCapturer> makeCapturer(ScreenCapturer::Config config) override {
    return GnomeScreenCapturer::create(config, PortalRemoteSession::opener(), true);
  }

  std::unique_ptr<InputInjector> makeInjector(const std::shared_ptr<ScreenCapturer>& capturer) override {
    return MutterInputInjector::alongside(capturer, "the portal");
  }

  std::string name() override { return kPortalBackendName; }
  std::string unusable() override { return portalWhyUnavailable(); }
  std::string refusesUnattended() override { return kUnattended; }

};

}  // namespace

std::string portalWhyUnavailable() {
  auto bus = mutter::openSessionBus();
  if (!bus) return bus.error().message;
  for (const char* interface : {portal::kRemoteDesktop, portal::kScreenCast}) {
    auto version = versionOf(bus->get(), interface);
    if (!version) return version.error().message;
    if (*version < 1) return std::string("the desktop portal's ") + interface + " is of no usable version";
  }
  return "";
}

bool portalServesThisSession() {
  return SessionType::decide(SessionType::ofThisProcess()) == SessionType::Kind::wayland &&
         portalWhyUnavailable().empty();
}

std::unique_ptr<DesktopScreen> makePortalDesktopScreen() { return std::make_unique<PortalDesktopScreen>(); }

}  // namespace vela
