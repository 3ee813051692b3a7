#include "ui/quick_assist_window.h"

#include <gmock/gmock.h>

#include <atomic>
#include <future>

#include "support/background_process.h"
#include "ui/desktop_indicator.h"
#include "ui/gtk_display.h"

// After the test framework: Xlib's macros clash with its names.
#include <X11/keysym.h>
#include <gtk/gtk.h>

namespace vela {
namespace {

using ::testing::Contains;
using ::testing::Not;
using testing::BackgroundProcess;
using testing::GtkDisplay;

bool sensitive(GtkDisplay& display, GtkWidget* window, const std::string& title) {
  bool result = false;
  display.run([&] {
    GtkWidget* found = nullptr;
    std::function<void(GtkWidget*)> visit = [&](GtkWidget* w) {
      if (GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) && title == gtk_button_get_label(GTK_BUTTON(w)))
        found = w;
      if (GTK_IS_CONTAINER(w)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList* it = children; it; it = it->next) visit(GTK_WIDGET(it->data));
        g_list_free(children);
      }
    };
    visit(window);
    result = found && gtk_widget_is_sensitive(found);
  });
  return result;
}

// The code window shows its example until the person types, and typing needs no click.
TEST(QuickAssistWindow, TheCodeIsTypedStraightAwayOverTheExample) {
  GtkDisplay& display = GtkDisplay::shared();
  QuickAssistWindow windows;
  auto code = std::async(std::launch::async, [&] { return windows.askForCode(); });
  GtkWidget* window = display.awaitWindow(QuickAssistWindow::kCodeWindowName);
  display.run([&] { EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(window)), nullptr); });
  display.screenshot("quick-assist-code.png");
  display.type("42 17");
  display.press(XK_Return);
  EXPECT_EQ(code.get(), "42 17");
}

// While the operator is awaited the window says so, with the step under way, and its
// button cancels; once connected it says the session runs and how to end it.
TEST(QuickAssistWindow, TheSessionWindowSaysWhatIsHappeningAndItsButtonEnds) {
  GtkDisplay& display = GtkDisplay::shared();
  QuickAssistWindow windows;
  std::atomic<int> ends{0};
  auto session = windows.openSession([&] { ++ends; });
  session->waiting("Verbinde mit Gateway…");
  GtkWidget* window = display.awaitWindow(QuickAssistWindow::kSessionWindowName);
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] {
    auto labels = display.labelsOf(window);
    return std::ranges::find(labels, "Verbinde mit Gateway…") != labels.end();
  }));
  auto labels = display.labelsOf(window);
  EXPECT_THAT(labels, Contains(QuickAssistSessionWindow::kWaitingHeading));
  EXPECT_THAT(labels, Not(Contains(QuickAssistSessionWindow::kRunningText)));
  EXPECT_GT(display.buttonRect(window, "Abbrechen").width, 0);
  display.screenshot("quick-assist-waiting.png");

  // Connected: the banner is up as the flow shows it, and the window says how to end.
  auto banner = DesktopIndicator::create();
  banner->show(kDefaultIndicatorText, "");
  display.awaitWindow(DesktopIndicator::kWidgetName);
  session->running();
  ASSERT_TRUE(BackgroundProcess::waitUntil([&] { return display.buttonRect(window, "Beenden").width > 0; }));
  labels = display.labelsOf(window);
  EXPECT_THAT(labels, Contains(QuickAssistSessionWindow::kRunningHeading));
  EXPECT_THAT(labels, Contains(QuickAssistSessionWindow::kRunningText));
  EXPECT_THAT(labels, Contains(QuickAssistSessionWindow::kEndHint));
  EXPECT_THAT(labels, Not(Contains("Verbinde mit Gateway…")));
  display.screenshot("quick-assist-running.png");

  display.click(display.buttonRect(window, "Beenden"));
  EXPECT_TRUE(BackgroundProcess::waitUntil([&] { return ends == 1; }));
  EXPECT_FALSE(sensitive(display, window, "Beenden"));  // one press is enough
  display.click(display.buttonRect(window, "Beenden"));
  display.settle();
  EXPECT_EQ(ends, 1);

  banner->hide();
  session->close();
  EXPECT_TRUE(BackgroundProcess::waitUntil([&] {
    GtkWidget* left = nullptr;
    display.run([&] { left = display.findWindow(QuickAssistWindow::kSessionWindowName); });
    return left == nullptr;
  }));
}

// Each alert has its title and an icon: the warning sign for a failure, the logo else.
TEST(QuickAssistWindow, AlertsHaveTitleAndIcon) {
  GtkDisplay& display = GtkDisplay::shared();
  QuickAssistWindow windows;
  struct Case {
    bool error;
    std::string title, text, shot;
  };
  const Case cases[] = {
      {true, QuickAssistWindows::kErrorTitle, "Verbindung zum Server verloren. Bitte erneut versuchen.",
       "quick-assist-error.png"},
      {false, "Fernwartung beendet",
       "Die Fernwartung wurde beendet.\n\nSie können dieses Programm jetzt schließen und löschen.",
       "quick-assist-info.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    auto shown = std::async(std::launch::async, [&] {
      if (c.error)
        windows.showError(c.text);
      else
        windows.showInfo(c.text, c.title);
    });
    GtkWidget* alert = display.awaitWindow(QuickAssistWindow::kAlertName);
    EXPECT_THAT(display.labelsOf(alert), ::testing::IsSupersetOf({c.title, c.text}));
    display.run([&] {
      EXPECT_EQ(gtk_window_get_title(GTK_WINDOW(alert)), c.title);
      GtkWidget* row = GTK_WIDGET(gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(alert))))->data);
      GList* parts = gtk_container_get_children(GTK_CONTAINER(row));
      GtkWidget* icon = GTK_WIDGET(parts->data);
      g_list_free(parts);
      ASSERT_TRUE(GTK_IS_IMAGE(icon));
      // A failure shows the themed warning sign; information the agent's logo.
      EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(icon)), c.error ? GTK_IMAGE_ICON_NAME : GTK_IMAGE_PIXBUF);
    });
    display.screenshot(c.shot);
    display.press(XK_Return);
    shown.get();
  }
}

}  // namespace
}  // namespace vela
