#include "ui/desktop_consent.h"

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "support/background_process.h"
#include "ui/gtk_display.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
using testing::BackgroundProcess;
using testing::GtkDisplay;

void collect(GtkWidget* widget, std::vector<GtkWidget*>& out) {
  out.push_back(widget);
  if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(
        GTK_CONTAINER(widget),
        [](GtkWidget* child, gpointer data) {
          collect(child, *static_cast<std::vector<GtkWidget*>*>(data));
        },
        &out);
  }
}

struct Shown {
  GtkWidget* dialog = nullptr;
  std::string windowTitle;
  std::vector<std::string> labels;
  testing::ScreenRect allow, decline;
  bool allowIsDefault = false;
};

Shown waitForDialog(GtkDisplay& display) {
  Shown shown;
  EXPECT_TRUE(BackgroundProcess::waitUntil([&] {
    display.run([&] { shown.dialog = display.findWindow(DesktopConsent::kWidgetName); });
    return shown.dialog != nullptr;
  }));
  display.settle();
  display.run([&] {
    shown.windowTitle = gtk_window_get_title(GTK_WINDOW(shown.dialog));
    std::vector<GtkWidget*> widgets;
    collect(shown.dialog, widgets);
    for (GtkWidget* w : widgets) {
      if (GTK_IS_LABEL(w)) shown.labels.push_back(gtk_label_get_text(GTK_LABEL(w)));
      if (!GTK_IS_BUTTON(w) || !gtk_button_get_label(GTK_BUTTON(w))) continue;
      std::string label = gtk_button_get_label(GTK_BUTTON(w));
      if (label == "Erlauben") {
        shown.allow = display.rootRect(w);
        shown.allowIsDefault = gtk_widget_has_default(w);
      }
      if (label == "Ablehnen") shown.decline = display.rootRect(w);
    }
  });
  return shown;
}

bool contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(DesktopConsent, DefaultTextsWithRecordingAndErlaubenAccepts) {
  GtkDisplay& display = GtkDisplay::shared();
  DesktopConsent consent;
  std::promise<bool> answer;
  consent.request(60s, "", "", "", true, [&](bool accepted) { answer.set_value(accepted); });

  Shown shown = waitForDialog(display);
  EXPECT_EQ(shown.windowTitle, "Fernzugriff – Fernzugriff-Anfrage");
  EXPECT_TRUE(contains(shown.labels, "Fernzugriff – Fernzugriff-Anfrage"));
  EXPECT_TRUE(contains(shown.labels,
                       "Ihr IT-Support möchte Ihren Bildschirm sehen und fernsteuern.\n\n"
                       "Die Sitzung wird sichtbar angezeigt und aufgezeichnet."));
  EXPECT_TRUE(shown.allowIsDefault);
  ASSERT_GT(shown.allow.width, 0);
  ASSERT_GT(shown.decline.width, 0);
  display.screenshot("consent-dialog.png");

  display.click(shown.allow.x + shown.allow.width / 2, shown.allow.y + shown.allow.height / 2);
  EXPECT_TRUE(answer.get_future().get());
  display.run([&] { EXPECT_EQ(display.findWindow(DesktopConsent::kWidgetName), nullptr); });
}

TEST(DesktopConsent, NamedOperatorWithoutRecordingAndAblehnenDeclines) {
  GtkDisplay& display = GtkDisplay::shared();
  DesktopConsent consent;
  std::promise<bool> answer;
  consent.request(60s, "Eva Beispiel", "Nordlicht IT", "kein Bild", false,
                  [&](bool accepted) { answer.set_value(accepted); });

  Shown shown = waitForDialog(display);
  EXPECT_EQ(shown.windowTitle, "Nordlicht IT – Fernzugriff-Anfrage");
  EXPECT_TRUE(
      contains(shown.labels, "Eva Beispiel möchte Ihren Bildschirm sehen und fernsteuern."));
  display.screenshot("consent-dialog-named.png");
  display.click(shown.decline.x + shown.decline.width / 2,
                shown.decline.y + shown.decline.height / 2);
  EXPECT_FALSE(answer.get_future().get());
}

TEST(DesktopConsent, UnansweredDialogTimesOutAsDeclined) {
  GtkDisplay& display = GtkDisplay::shared();
  DesktopConsent consent;
  std::promise<bool> answer;
  consent.request(300ms, "", "", "", true, [&](bool accepted) { answer.set_value(accepted); });
  EXPECT_FALSE(answer.get_future().get());
  display.run([&] { EXPECT_EQ(display.findWindow(DesktopConsent::kWidgetName), nullptr); });
}

}  // namespace
}  // namespace vela
