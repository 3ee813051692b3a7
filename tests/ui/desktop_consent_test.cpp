#include "ui/desktop_consent.h"

#include <gtk/gtk.h>

#include <gmock/gmock.h>

#include <future>
#include <string>

#include "ui/gtk_display.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using testing::GtkDisplay;

std::string titleOf(GtkDisplay& display, GtkWidget* window) {
  std::string title;
  display.run([&] { title = gtk_window_get_title(GTK_WINDOW(window)); });
  return title;
}

TEST(DesktopConsent, TextsAndButtonsThenTheAnswerOfEachButtonAndOfNone) {
  GtkDisplay& display = GtkDisplay::shared();
  {  // Default texts, with recording; Erlauben accepts (Return too: the desktop end-to-end test).
    DesktopConsent consent;
    std::promise<bool> answer;
    consent.request(60s, "", "", "", true, [&](bool accepted) { answer.set_value(accepted); });
    GtkWidget* dialog = display.awaitWindow(DesktopConsent::kWidgetName);
    EXPECT_EQ(titleOf(display, dialog), "Fernzugriff – Fernzugriff-Anfrage");
    auto labels = display.labelsOf(dialog);
    EXPECT_THAT(labels, Contains("Fernzugriff – Fernzugriff-Anfrage"));
    EXPECT_THAT(labels, Contains("Ihr IT-Support möchte Ihren Bildschirm sehen und fernsteuern.\n\n"
                                 "Die Sitzung wird sichtbar angezeigt und aufgezeichnet."));
    testing::ScreenRect allow = display.buttonRect(dialog, "Erlauben");
    ASSERT_GT(allow.width, 0);
    ASSERT_GT(display.buttonRect(dialog, "Ablehnen").width, 0);
    display.screenshot("consent-dialog.png");
    display.click(allow);
    EXPECT_TRUE(answer.get_future().get());
    display.run([&] { EXPECT_EQ(display.findWindow(DesktopConsent::kWidgetName), nullptr); });
  }
  {  // A named operator and company, no recording; Ablehnen declines.
    DesktopConsent consent;
    std::promise<bool> answer;
    consent.request(60s, "Eva Beispiel", "Nordlicht IT", "kein Bild", false,
                    [&](bool accepted) { answer.set_value(accepted); });
    GtkWidget* dialog = display.awaitWindow(DesktopConsent::kWidgetName);
    EXPECT_EQ(titleOf(display, dialog), "Nordlicht IT – Fernzugriff-Anfrage");
    EXPECT_THAT(display.labelsOf(dialog),
                Contains("Eva Beispiel möchte Ihren Bildschirm sehen und fernsteuern."));
    display.screenshot("consent-dialog-named.png");
    display.click(display.buttonRect(dialog, "Ablehnen"));
    EXPECT_FALSE(answer.get_future().get());
  }
  {  // Unanswered, it times out as declined.
    DesktopConsent consent;
    std::promise<bool> answer;
    consent.request(300ms, "", "", "", true, [&](bool accepted) { answer.set_value(accepted); });
    EXPECT_FALSE(answer.get_future().get());
    display.run([&] { EXPECT_EQ(display.findWindow(DesktopConsent::kWidgetName), nullptr); });
  }
}

}  // namespace
}  // namespace vela
