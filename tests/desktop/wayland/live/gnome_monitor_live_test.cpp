// What becomes of a capture when mutter's monitor layout changes under it, made through
// DisplayConfig as the Settings panel would. Runs inside a private headless GNOME session
// with two virtual monitors, Meta-0 (1920x1080) and Meta-1 (800x600), started by
// wayland_probe_test.py; each test begins from Meta-0 at the left as the main monitor.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/linux/wayland/mutter_bus.h"
#include "desktop/linux/wayland/mutter_monitors.h"
#include "desktop/wayland/live/live_capture.h"

namespace vela {
namespace {

struct Placed {
  const char* connector;
  int x;
  double scale;
  std::uint32_t transform;
};

constexpr const char* kStateType = "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})";

// Applies the layout for this session only (method 1: temporary, nothing is asked). The
// first monitor listed is the primary one.
void applyLayout(const std::vector<Placed>& layout) {
  auto bus = mutter::openSessionBus();
  ASSERT_TRUE(bus) << bus.error().message;
  auto state = mutter::call(bus->get(), mutter::kDisplayConfigName, "/org/gnome/Mutter/DisplayConfig",
                            mutter::kDisplayConfigName, "GetCurrentState", nullptr, kStateType);
  ASSERT_TRUE(state) << state.error().message;
  guint32 serial = 0;
  g_variant_get_child(state->get(), 0, "u", &serial);
  GVariantBuilder logical;
  g_variant_builder_init(&logical, G_VARIANT_TYPE("a(iiduba(ssa{sv}))"));
  for (std::size_t i = 0; i < layout.size(); ++i) {
    // Virtual monitors have one mode, named after their size.
    const std::string mode = std::string(layout[i].connector) == "Meta-0" ? "1920x1080@60.000" : "800x600@60.000";
    g_variant_builder_add_parsed(&logical, "(%i, 0, %d, %u, %b, [(%s, %s, @a{sv} {})])", layout[i].x,
                                 layout[i].scale, layout[i].transform, i == 0, layout[i].connector, mode.c_str());
  }
  auto applied = mutter::call(bus->get(), mutter::kDisplayConfigName, "/org/gnome/Mutter/DisplayConfig",
                              mutter::kDisplayConfigName, "ApplyMonitorsConfig",
                              g_variant_new("(uua(iiduba(ssa{sv}))@a{sv})", serial, 1u, &logical,
                                            g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
                              nullptr);
  ASSERT_TRUE(applied) << applied.error().message;
}

const std::vector<Placed> kSideBySide{{"Meta-0", 0, 1.0, 0}, {"Meta-1", 1920, 1.0, 0}};

class GnomeMonitorChangeTest : public testing::Test {
 protected:
  void SetUp() override { applyLayout(kSideBySide); }

  // A capture of the main monitor, Meta-0, that has delivered its first picture.
  std::shared_ptr<GnomeScreenCapturer> captureMain(const std::shared_ptr<Seen>& seen) {
    auto capturer = observed(seen);
    capturer->start(std::nullopt, completion(seen));
    EXPECT_TRUE(seen->waitForFrame());
    return capturer;
  }

  std::string stopReason(const std::shared_ptr<Seen>& seen) {
    EXPECT_TRUE(seen->waitForStop());
    MutexLock lock(seen->mu);
    return seen->stopped && *seen->stopped ? (*seen->stopped)->message : "(stopped without a reason)";
  }
};

TEST_F(GnomeMonitorChangeTest, AMonitorSwitchedOffEndsItsCaptureThoughMutterKeepsItsStreamOpen) {
  auto seen = std::make_shared<Seen>();
  auto capturer = captureMain(seen);
  applyLayout({{"Meta-1", 0, 1.0, 0}});
  EXPECT_EQ(stopReason(seen), "monitor Meta-0 went away");
  EXPECT_EQ(capturer->session(), nullptr);
  capturer->stop();
}

TEST_F(GnomeMonitorChangeTest, AMonitorTurnedOrMovedEndsItsCaptureSayingWhatHappened) {
  struct Case {
    const char* name;
    std::vector<Placed> layout;
    std::string reason;
  };
  const std::string closed = "mutter closed the remote-desktop session: ";
  const std::vector<Case> cases{
      // Whichever tells first, mutter's signal or the layout, names the new size.
      {"turned", {{"Meta-0", 0, 1.0, 1}, {"Meta-1", 1080, 1.0, 0}},
       "monitor Meta-0 changed its size from 1920x1080 to 1080x1920"},
      // mutter closes the stream of a monitor that only moved, though its pictures and
      // input positions would stay valid; the layout alone would not end the capture.
      {"moved", {{"Meta-0", 800, 1.0, 0}, {"Meta-1", 0, 1.0, 0}}, closed + "monitor Meta-0 moved from (0,0) to (800,0)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    applyLayout(kSideBySide);
    auto seen = std::make_shared<Seen>();
    auto capturer = captureMain(seen);
    applyLayout(c.layout);
    const std::string reason = stopReason(seen);
    EXPECT_TRUE(reason == c.reason || reason == closed + c.reason) << reason;
    capturer->stop();
  }
}

// Whether mutter lays monitors out in logical pixels (1) rather than device pixels (2).
bool logicalLayout() {
  auto bus = mutter::openSessionBus();
  if (!bus) return false;
  auto state = mutter::call(bus->get(), mutter::kDisplayConfigName, "/org/gnome/Mutter/DisplayConfig",
                            mutter::kDisplayConfigName, "GetCurrentState", nullptr, kStateType);
  if (!state) return false;
  mutter::Variant properties(g_variant_get_child_value(state->get(), 3));
  guint32 mode = 0;
  return g_variant_lookup(properties.get(), "layout-mode", "u", &mode) && mode == 1;
}

TEST_F(GnomeMonitorChangeTest, AMonitorsScaleKeepsItsStreamsSize) {
  const bool logical = logicalLayout();
  auto seen = std::make_shared<Seen>();
  auto capturer = captureMain(seen);
  // Scaled in a logical layout, Meta-0 takes half its width there; its stream does not.
  applyLayout({{"Meta-0", 0, 2.0, 0}, {"Meta-1", logical ? 960 : 1920, 1.0, 0}});
  if (logical) {
    // The monitor's place in the layout changed: mutter closes its stream.
    EXPECT_EQ(stopReason(seen), "mutter closed the remote-desktop session: monitor Meta-0 changed its scale from 1 to 2");
  }

  // A capture that starts now records the same device pixels; by the time it has its
  // first picture the layout change has long been seen.
  auto later = std::make_shared<Seen>();
  auto second = captureMain(later);
  {
    MutexLock lock(later->mu);
    ASSERT_TRUE(later->started);
    ASSERT_TRUE(*later->started) << later->started->error().description();
    EXPECT_EQ((std::pair{(*later->started)->width, (*later->started)->height}), (std::pair{1920, 1080}));
    EXPECT_EQ((std::pair{later->width, later->height}), (std::pair{1920, 1080}));
    EXPECT_FALSE(later->stopped);
  }
  second->stop();
  capturer->stop();
  if (logical) return;
  MutexLock lock(seen->mu);
  EXPECT_FALSE(seen->stopped) << (*seen->stopped ? (*seen->stopped)->message : "");
}

}  // namespace
}  // namespace vela
