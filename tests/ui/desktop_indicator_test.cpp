#include "ui/desktop_indicator.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/background_process.h"
#include "ui/gtk_display.h"

// After the test framework: Xlib's macros (None, Bool, Status) clash with its names.
#include <X11/Xlib.h>
#include <gtk/gtk.h>

namespace vela {
namespace {

using testing::BackgroundProcess;
using testing::GtkDisplay;

bool isBannerRed(unsigned rgb) {
  return (rgb >> 16) > 0xc0 && ((rgb >> 8) & 0xff) < 0x50 && (rgb & 0xff) < 0x50;
}

TEST(DesktopIndicator, BannerSitsTopCentreAndClicksFallThroughToTheWindowBelow) {
  GtkDisplay& display = GtkDisplay::shared();

  // An ordinary window under the banner's place that reports clicks.
  Display* x = XOpenDisplay(display.name().c_str());
  ASSERT_NE(x, nullptr);
  Window below = XCreateSimpleWindow(x, DefaultRootWindow(x), 0, 0, 1280, 120, 0, 0, 0x404040);
  XSelectInput(x, below, ButtonPressMask | StructureNotifyMask);
  XMapWindow(x, below);
  for (XEvent e; XNextEvent(x, &e), e.type != MapNotify;) {
  }

  auto indicator = DesktopIndicator::create();
  indicator->show(kDefaultIndicatorText, "");  // from a thread other than the loop's
  GtkWidget* banner = display.awaitWindow(DesktopIndicator::kWidgetName);
  ASSERT_NE(banner, nullptr);
  testing::ScreenRect rect;
  display.run([&] { rect = display.rootRect(banner); });
  EXPECT_EQ(std::tie(rect.x, rect.y, rect.width, rect.height), std::make_tuple(1280 / 2 - 230, 6, 460, 40));

  auto shot = display.screenshot("indicator-banner.png");
  EXPECT_TRUE(isBannerRed(testing::pixelAt(shot.get(), rect.x + 420, rect.y + 20)));

  display.click(rect.x + 230, rect.y + 20);
  XEvent press{};
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] {
    while (XPending(x)) {
      XNextEvent(x, &press);
      if (press.type == ButtonPress) return true;
    }
    return false;
  }));
  EXPECT_EQ(press.xbutton.window, below);
  EXPECT_EQ(std::tie(press.xbutton.x, press.xbutton.y), std::make_tuple(rect.x + 230, rect.y + 20));

  indicator->hide();
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] {
    display.run([&] { banner = display.findWindow(DesktopIndicator::kWidgetName); });
    return banner == nullptr;
  }));
  XDestroyWindow(x, below);
  XCloseDisplay(x);
}

}  // namespace
}  // namespace vela
