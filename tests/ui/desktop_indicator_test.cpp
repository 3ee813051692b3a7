#include "ui/desktop_indicator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <tuple>

#include "support/background_process.h"
#include "ui/gtk_display.h"

// After the test framework: Xlib's macros (None, Bool, Status) clash with its names.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <gtk/gtk.h>

namespace vela {
namespace {

using testing::BackgroundProcess;
using testing::GtkDisplay;

bool isBannerRed(unsigned rgb) {
  return (rgb >> 16) > 0xc0 && ((rgb >> 8) & 0xff) < 0x50 && (rgb & 0xff) < 0x50;
}

// An ordinary window of another program under the banner's place, reporting its clicks.
class WindowBelow {
 public:
  explicit WindowBelow(const std::string& display) : x_(XOpenDisplay(display.c_str())) {
    window_ = XCreateSimpleWindow(x_, DefaultRootWindow(x_), 0, 0, 1280, 120, 0, 0, 0x404040);
    XSelectInput(x_, window_, ButtonPressMask | StructureNotifyMask);
    XMapWindow(x_, window_);
    for (XEvent e; XNextEvent(x_, &e), e.type != MapNotify;) {
    }
  }
  ~WindowBelow() {
    XDestroyWindow(x_, window_);
    XCloseDisplay(x_);
  }
  // The next click it received, if one comes.
  std::optional<std::pair<int, int>> click() {
    std::optional<std::pair<int, int>> at;
    BackgroundProcess::waitUntil([&] {
      while (XPending(x_)) {
        XEvent e;
        XNextEvent(x_, &e);
        if (e.type == ButtonPress && e.xbutton.window == window_) at = std::pair(e.xbutton.x, e.xbutton.y);
      }
      return at.has_value();
    });
    return at;
  }
  // Whether this client could take Ctrl+Alt+End for itself (it lets it go again).
  bool canGrabCtrlAltEnd() {
    static bool refused;
    refused = false;
    auto previous = XSetErrorHandler([](Display*, XErrorEvent* e) {
      refused = refused || e->error_code == BadAccess;
      return 0;
    });
    const KeyCode end = XKeysymToKeycode(x_, XK_End);
    XGrabKey(x_, end, ControlMask | Mod1Mask, DefaultRootWindow(x_), False, GrabModeAsync, GrabModeAsync);
    XSync(x_, False);
    XUngrabKey(x_, end, ControlMask | Mod1Mask, DefaultRootWindow(x_));
    XSync(x_, False);
    XSetErrorHandler(previous);
    return !refused;
  }
  bool clickedSince() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool any = false;
    while (XPending(x_)) {
      XEvent e;
      XNextEvent(x_, &e);
      any = any || e.type == ButtonPress;
    }
    return any;
  }

 private:
  Display* x_;
  Window window_;
};

TEST(DesktopIndicator, OnlyItsEndButtonTakesTheClickAndCtrlAltEndEndsToo) {
  GtkDisplay& display = GtkDisplay::shared();
  WindowBelow below(display.name());
  std::atomic<int> ends{0};
  auto indicator = DesktopIndicator::create();
  indicator->setOnEndRequested([&] { ++ends; });
  indicator->show(kDefaultIndicatorText, "");  // from a thread other than the loop's
  GtkWidget* banner = display.awaitWindow(DesktopIndicator::kWidgetName);
  ASSERT_NE(banner, nullptr);
  testing::ScreenRect rect;
  display.run([&] { rect = display.rootRect(banner); });
  EXPECT_EQ(std::tie(rect.x, rect.y, rect.width, rect.height), std::make_tuple(1280 / 2 - 230, 6, 460, 40));
  const testing::ScreenRect button = display.buttonRect(banner, DesktopIndicator::kButtonLabel);
  EXPECT_EQ(button.x + button.width, rect.x + rect.width - DesktopIndicator::kButtonMargin);
  EXPECT_GE(button.width, DesktopIndicator::kButtonMinWidth);
  EXPECT_EQ(display.labelsOf(banner),
            (std::vector<std::string>{kDefaultIndicatorText, DesktopIndicator::kButtonLabel}));

  auto shot = display.screenshot("indicator-banner.png");
  EXPECT_TRUE(isBannerRed(testing::pixelAt(shot.get(), rect.x + 200, rect.y + 36)));

  // Anywhere but on the button, the click is the window's below.
  display.click(rect.x + 230, rect.y + 20);
  EXPECT_EQ(below.click(), std::pair(rect.x + 230, rect.y + 20));
  EXPECT_EQ(ends, 0);

  display.click(button);
  EXPECT_TRUE(BackgroundProcess::waitUntil([&] { return ends == 1; }));
  EXPECT_FALSE(below.clickedSince());

  // Without a mouse; the banner never has the keyboard focus, so the key is global.
  EXPECT_FALSE(below.canGrabCtrlAltEnd());
  display.chord({XK_Control_L, XK_Alt_L, XK_End});
  EXPECT_TRUE(BackgroundProcess::waitUntil([&] { return ends == 2; }));
  display.chord({XK_Control_L, XK_End});
  display.settle();
  EXPECT_EQ(ends, 2);

  indicator->hide();
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] {
    display.run([&] { banner = display.findWindow(DesktopIndicator::kWidgetName); });
    return banner == nullptr;
  }));
  // Gone with the banner: the key is the desktop's again.
  EXPECT_TRUE(BackgroundProcess::waitUntil([&] { return below.canGrabCtrlAltEnd(); }));
  EXPECT_EQ(ends, 2);
}

}  // namespace
}  // namespace vela
