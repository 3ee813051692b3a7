#include "desktop/linux/wayland/mutter_monitors.h"

#include <map>
#include <sstream>

#include "desktop/linux/wayland/mutter_bus.h"

namespace vela::mutter {
namespace {

struct Mode {
  int width = 0;
  int height = 0;
};

bool flagSet(GVariant* properties, const char* key) {
  gboolean value = FALSE;
  return g_variant_lookup(properties, key, "b", &value) && value;
}

// Connector → its current mode, from the physical monitors.
std::map<std::string, Mode> currentModes(GVariant* monitors) {
  std::map<std::string, Mode> modes;
  GVariantIter it;
  g_variant_iter_init(&it, monitors);
  GVariant* monitor = nullptr;
  while ((monitor = g_variant_iter_next_value(&it))) {
    const gchar* connector = nullptr;
    g_variant_get_child(monitor, 0, "(&ssss)", &connector, nullptr, nullptr, nullptr);
    Variant modeList(g_variant_get_child_value(monitor, 1));
    GVariantIter modeIt;
    g_variant_iter_init(&modeIt, modeList.get());
    GVariant* mode = nullptr;
    while ((mode = g_variant_iter_next_value(&modeIt))) {
      Variant properties(g_variant_get_child_value(mode, 6));
      gint32 width = 0, height = 0;
      g_variant_get_child(mode, 1, "i", &width);
      g_variant_get_child(mode, 2, "i", &height);
      if (flagSet(properties.get(), "is-current")) modes[connector] = {width, height};
      g_variant_unref(mode);
    }
    g_variant_unref(monitor);
  }
  return modes;
}

}  // namespace

std::vector<Monitor> monitorsFromState(GVariant* state) {
  Variant physical(g_variant_get_child_value(state, 1));
  Variant logical(g_variant_get_child_value(state, 2));
  auto modes = currentModes(physical.get());
  std::vector<Monitor> result;
  GVariantIter it;
  g_variant_iter_init(&it, logical.get());
  GVariant* entry = nullptr;
  while ((entry = g_variant_iter_next_value(&it))) {
    gint32 x = 0, y = 0;
    gdouble scale = 1;
    guint32 transform = 0;
    gboolean primary = FALSE;
    g_variant_get_child(entry, 0, "i", &x);
    g_variant_get_child(entry, 1, "i", &y);
    g_variant_get_child(entry, 2, "d", &scale);
    g_variant_get_child(entry, 3, "u", &transform);
    g_variant_get_child(entry, 4, "b", &primary);
    Variant specs(g_variant_get_child_value(entry, 5));
    if (g_variant_n_children(specs.get()) > 0) {
      const gchar* connector = nullptr;
      g_variant_get_child(specs.get(), 0, "(&ssss)", &connector, nullptr, nullptr, nullptr);
      auto mode = modes.find(connector);
      if (mode != modes.end()) {
        // Odd transforms turn the monitor a quarter (flipped or not): its stream is
        // as tall as the mode is wide.
        const bool quarterTurn = transform % 2 == 1;
        Monitor monitor;
        monitor.connector = connector;
        monitor.scale = scale;
        monitor.info = {static_cast<std::uint32_t>(result.size()),
                        quarterTurn ? mode->second.height : mode->second.width,
                        quarterTurn ? mode->second.width : mode->second.height,
                        primary != FALSE,
                        x,
                        y};
        result.push_back(std::move(monitor));
      }
    }
    g_variant_unref(entry);
  }
  // One main display, even when mutter names none primary.
  bool anyMain = false;
  for (const auto& m : result) anyMain = anyMain || m.info.isMain;
  if (!anyMain && !result.empty()) result.front().info.isMain = true;
  return result;
}

std::optional<Change> changeOf(const Monitor& captured, const std::vector<Monitor>& now) {
  auto pair = [](const char* open, int a, const char* between, int b, const char* close) {
    std::string text(open);
    text.append(std::to_string(a)).append(between).append(std::to_string(b)).append(close);
    return text;
  };
  auto size = [&](const Displays::Info& info) { return pair("", info.width, "x", info.height, ""); };
  auto place = [&](const Displays::Info& info) { return pair("(", info.x, ",", info.y, ")"); };
  for (const auto& monitor : now) {
    if (monitor.connector != captured.connector) continue;
    const Displays::Info& was = captured.info;
    const Displays::Info& is = monitor.info;
    if (is.width != was.width || is.height != was.height)
      return Change{"monitor " + captured.connector + " changed its size from " + size(was) + " to " + size(is), true};
    if (is.x != was.x || is.y != was.y)
      return Change{"monitor " + captured.connector + " moved from " + place(was) + " to " + place(is), false};
    if (monitor.scale != captured.scale) {
      std::ostringstream text;
      text << "monitor " << captured.connector << " changed its scale from " << captured.scale << " to "
           << monitor.scale;
      return Change{text.str(), false};
    }
    return std::nullopt;
  }
  return Change{"monitor " + captured.connector + " went away", true};
}

Result<std::vector<Monitor>> currentMonitors(GDBusConnection* bus) {
  auto state = call(bus, kDisplayConfigName, "/org/gnome/Mutter/DisplayConfig", "org.gnome.Mutter.DisplayConfig",
                    "GetCurrentState", nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})");
  if (!state) return tl::unexpected(state.error());
  return monitorsFromState(state->get());
}

}  // namespace vela::mutter
