// The first-start windows laid out at the desktop's font size and half as large again,
// with and without a logo: nothing may overlap, leave the window, or be cut short, and
// the code field shows its example until the person types.

#include <gtest/gtest.h>

#include <future>

#include "config/brand_files.h"
#include "ui/gtk_display.h"
#include "ui/onboarding_windows.h"

// After the test framework: Xlib's macros clash with its names.
#include <X11/keysym.h>
#include <gtk/gtk.h>

namespace vela {
namespace {

using testing::GtkDisplay;
using testing::ScreenRect;

// What GDK_DPI_SCALE does at start-up, for one test: the font resolution.
class FontScale {
 public:
  FontScale(GtkDisplay& display, double scale) : display_(display) {
    display_.run([&] {
      g_object_get(gtk_settings_get_default(), "gtk-xft-dpi", &previous_, nullptr);
      g_object_set(gtk_settings_get_default(), "gtk-xft-dpi", int(96 * 1024 * scale), nullptr);
    });
  }
  ~FontScale() {
    display_.run([&] { g_object_set(gtk_settings_get_default(), "gtk-xft-dpi", previous_, nullptr); });
  }

 private:
  GtkDisplay& display_;
  int previous_ = -1;
};

struct Leaf {
  GtkWidget* widget;
  ScreenRect rect;
};

// The visible widgets a person reads or uses: labels, images, fields, buttons (with their
// own label inside counted as one), the JSON editor's frame.
void collectLeaves(GtkDisplay& display, GtkWidget* widget, std::vector<Leaf>& out) {
  if (!gtk_widget_get_visible(widget)) return;
  const bool leaf = GTK_IS_LABEL(widget) || GTK_IS_IMAGE(widget) || GTK_IS_ENTRY(widget) || GTK_IS_BUTTON(widget) ||
                    GTK_IS_SCROLLED_WINDOW(widget) || GTK_IS_SPINNER(widget);
  if (leaf) {
    out.push_back({widget, display.rootRect(widget)});
    return;
  }
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* it = children; it; it = it->next) collectLeaves(display, GTK_WIDGET(it->data), out);
    g_list_free(children);
  }
}

bool overlap(const ScreenRect& a, const ScreenRect& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

std::string describe(GtkWidget* w) {
  if (GTK_IS_LABEL(w)) return std::string("label \"") + gtk_label_get_text(GTK_LABEL(w)) + "\"";
  if (GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)))
    return std::string("button \"") + gtk_button_get_label(GTK_BUTTON(w)) + "\"";
  return G_OBJECT_TYPE_NAME(w);
}

// Every leaf inside the window, none over another, each given at least what it needs.
std::vector<Leaf> expectTidy(GtkDisplay& display, GtkWidget* window) {
  std::vector<Leaf> leaves;
  display.run([&] {
    ScreenRect frame = display.rootRect(window);
    collectLeaves(display, window, leaves);
    for (std::size_t i = 0; i < leaves.size(); ++i) {
      const Leaf& a = leaves[i];
      EXPECT_GE(a.rect.x, frame.x) << describe(a.widget);
      EXPECT_GE(a.rect.y, frame.y) << describe(a.widget);
      EXPECT_LE(a.rect.x + a.rect.width, frame.x + frame.width) << describe(a.widget);
      EXPECT_LE(a.rect.y + a.rect.height, frame.y + frame.height) << describe(a.widget);
      // What the widget asks for includes its margins; its place does not.
      const int marginsX = gtk_widget_get_margin_start(a.widget) + gtk_widget_get_margin_end(a.widget);
      const int marginsY = gtk_widget_get_margin_top(a.widget) + gtk_widget_get_margin_bottom(a.widget);
      int minimumWidth = 0, minimumHeight = 0;
      gtk_widget_get_preferred_width(a.widget, &minimumWidth, nullptr);
      gtk_widget_get_preferred_height_for_width(a.widget, a.rect.width + marginsX, &minimumHeight, nullptr);
      minimumWidth -= marginsX;
      minimumHeight -= marginsY;
      EXPECT_GE(a.rect.width, minimumWidth) << describe(a.widget);
      EXPECT_GE(a.rect.height, minimumHeight) << describe(a.widget);
      for (std::size_t j = i + 1; j < leaves.size(); ++j)
        EXPECT_FALSE(overlap(a.rect, leaves[j].rect)) << describe(a.widget) << " and " << describe(leaves[j].widget);
    }
  });
  return leaves;
}

int heightOf(GtkDisplay& display, GtkWidget* widget) {
  int height = 0;
  display.run([&] { height = display.rootRect(widget).height; });
  return height;
}

TEST(WindowLayout, FirstStartWindowsGrowWithTheFontAndNeverOverlap) {
  GtkDisplay& display = GtkDisplay::shared();
  GtkOnboardingWindows windows;
  int titleHeight[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    const double scale = i == 0 ? 1.0 : 1.5;
    const std::string suffix = i == 0 ? "-scale-1.png" : "-scale-1.5.png";
    SCOPED_TRACE(scale);
    FontScale font(display, scale);

    auto code = std::async(std::launch::async, [&] { return windows.presentQuickAssist(); });
    GtkWidget* window = display.awaitWindow(GtkOnboardingWindows::kCodeWindowName);
    for (const Leaf& leaf : expectTidy(display, window)) {
      display.run([&] {
        if (GTK_IS_ENTRY(leaf.widget)) {
          // The example shows: GTK draws a placeholder only while its field lacks the focus.
          EXPECT_STREQ(gtk_entry_get_placeholder_text(GTK_ENTRY(leaf.widget)), "z. B. 123 456 789");
          EXPECT_FALSE(gtk_widget_has_focus(leaf.widget));
          // ... and whole, in the field's own font.
          PangoLayout* layout = gtk_widget_create_pango_layout(leaf.widget, "z. B. 123 456 789");
          pango_layout_set_attributes(layout, gtk_entry_get_attributes(GTK_ENTRY(leaf.widget)));
          int width = 0;
          pango_layout_get_pixel_size(layout, &width, nullptr);
          g_object_unref(layout);
          EXPECT_LT(width, leaf.rect.width - 8);
        }
        if (GTK_IS_LABEL(leaf.widget) && std::string(gtk_label_get_text(GTK_LABEL(leaf.widget))) == "Support-Code eingeben")
          titleHeight[i] = leaf.rect.height;
      });
    }
    display.screenshot("onboarding-code" + suffix);
    display.press(XK_Escape);
    EXPECT_EQ(code.get().action, OnboardingWindows::Action::cancel);

    auto config = std::async(std::launch::async, [&] { return windows.presentConfig("{\"server\": \"https://cp\"}"); });
    window = display.awaitWindow(GtkOnboardingWindows::kConfigWindowName);
    expectTidy(display, window);
    display.screenshot("onboarding-config" + suffix);
    display.press(XK_Escape);
    EXPECT_EQ(config.get().action, OnboardingWindows::Action::cancel);
  }
  // The scale really took: the larger font made the title taller.
  EXPECT_GE(titleHeight[1], titleHeight[0] * 13 / 10);
}

// The program copied alone to another folder, with no logo anywhere: the window closes
// up instead of keeping an empty band where the logo would be.
TEST(WindowLayout, AMissingLogoLeavesNoEmptyBand) {
  GtkDisplay& display = GtkDisplay::shared();
  GtkOnboardingWindows windows;
  int withLogo = 0;
  for (bool logo : {true, false}) {
    if (!logo) BrandFiles::setSearchPathForTesting(std::vector<std::string>{"/nonexistent"});
    auto code = std::async(std::launch::async, [&] { return windows.presentQuickAssist(); });
    GtkWidget* window = display.awaitWindow(GtkOnboardingWindows::kCodeWindowName);
    auto leaves = expectTidy(display, window);
    ASSERT_FALSE(leaves.empty());
    int top = 0;
    display.run([&] { top = leaves.front().rect.y - display.rootRect(window).y; });
    EXPECT_EQ(GTK_IS_IMAGE(leaves.front().widget), logo);
    EXPECT_LE(top, 24);  // the first thing sits at the top, whatever it is
    if (logo) {
      withLogo = heightOf(display, window);
    } else {
      EXPECT_LE(heightOf(display, window), withLogo - 64);
      display.screenshot("onboarding-code-no-logo.png");
    }
    display.press(XK_Escape);
    code.get();
  }
  BrandFiles::setSearchPathForTesting(std::nullopt);
}

}  // namespace
}  // namespace vela
