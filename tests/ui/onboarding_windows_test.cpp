// The first-start windows on a real display, driven like a person would: XTest clicks
// and key presses, screenshots for people to look at.

#include "ui/onboarding_windows.h"

#include <X11/keysym.h>
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "support/background_process.h"
#include "support/temp_dir.h"
#include "ui/gtk_display.h"

namespace vela {
namespace {

using testing::BackgroundProcess;
using testing::GtkDisplay;
using Kind = OnboardingResult::Kind;

void collect(GtkWidget* widget, std::vector<GtkWidget*>& out) {
  out.push_back(widget);
  if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(
        GTK_CONTAINER(widget),
        [](GtkWidget* child, gpointer data) { collect(child, *static_cast<std::vector<GtkWidget*>*>(data)); },
        &out);
  }
}

// Waits for a window of that name that this test has not handled yet.
GtkWidget* awaitWindow(GtkDisplay& display, const std::string& name) {
  GtkWidget* found = nullptr;
  EXPECT_TRUE(BackgroundProcess::waitUntil([&] {
    display.run([&] {
      found = display.findWindow(name);
      if (found && g_object_get_data(G_OBJECT(found), "vela-test-seen")) found = nullptr;
      if (found) g_object_set_data(G_OBJECT(found), "vela-test-seen", found);
    });
    return found != nullptr;
  })) << name;
  display.settle();
  return found;
}

// Clicks the button with that title, or with an empty title the window's text field.
void clickButton(GtkDisplay& display, GtkWidget* window, const std::string& title) {
  testing::ScreenRect rect;
  display.run([&] {
    std::vector<GtkWidget*> widgets;
    collect(window, widgets);
    for (GtkWidget* w : widgets) {
      const bool match = title.empty() ? GTK_IS_ENTRY(w)
                                       : GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) &&
                                             title == gtk_button_get_label(GTK_BUTTON(w));
      if (match) rect = display.rootRect(w);
    }
  });
  ASSERT_GT(rect.width, 0) << title;
  display.click(rect.x + rect.width / 2, rect.y + rect.height / 2);
}

std::vector<std::string> labelsOf(GtkDisplay& display, GtkWidget* window) {
  std::vector<std::string> texts;
  display.run([&] {
    std::vector<GtkWidget*> widgets;
    collect(window, widgets);
    for (GtkWidget* w : widgets) {
      if (GTK_IS_LABEL(w)) texts.push_back(gtk_label_get_text(GTK_LABEL(w)));
    }
  });
  return texts;
}

bool has(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// Runs the whole dialogue on a thread of its own, as the daemon's start-up does.
std::future<OnboardingResult> start(GtkOnboardingWindows& windows, std::optional<ProvisioningPayload> prefill,
                                    OnboardingUI::Installer install) {
  return std::async(std::launch::async, [&windows, prefill, install] {
    return OnboardingUI::run(windows, prefill, install);
  });
}

TEST(OnboardingWindows, CodeEntryPastedJSONInvalidInputInstallAndCancel) {
  GtkDisplay& display = GtkDisplay::shared();
  testing::ScopedStateDir state;
  GtkOnboardingWindows windows;
  auto noInstall = [](const ProvisioningPayload&) -> std::optional<SystemInstall::InstallError> {
    ADD_FAILURE() << "nothing to install";
    return std::nullopt;
  };

  // A support code: an empty field brings the window back; digits survive, spaces go.
  auto result = start(windows, std::nullopt, noInstall);
  GtkWidget* code = awaitWindow(display, GtkOnboardingWindows::kCodeWindowName);
  auto texts = labelsOf(display, code);
  EXPECT_TRUE(has(texts, "Support-Code eingeben"));
  EXPECT_TRUE(has(texts, "Geben Sie den Code ein, den Ihnen der Support durchgegeben hat."));
  display.screenshot("onboarding-code.png");
  display.press(XK_Return);
  code = awaitWindow(display, GtkOnboardingWindows::kCodeWindowName);
  display.type("123 456 789");
  display.screenshot("onboarding-code-typed.png");
  clickButton(display, code, "Verbinden");
  OnboardingResult chosen = result.get();
  EXPECT_EQ(chosen.kind, Kind::quickAssist);
  EXPECT_EQ(chosen.code, "123456789");

  // Pasted JSON for this session: invalid input is refused with the alert, the token field
  // wins over the document's token, and the pinned key is written before the answer.
  result = start(windows, std::nullopt, noInstall);
  code = awaitWindow(display, GtkOnboardingWindows::kCodeWindowName);
  clickButton(display, code, "Konfiguration hinterlegen…");
  GtkWidget* config = awaitWindow(display, GtkOnboardingWindows::kConfigWindowName);
  display.type("kein json");
  clickButton(display, config, "Nur Sitzung");
  GtkWidget* alert = awaitWindow(display, GtkOnboardingWindows::kAlertName);
  display.run([&] {
    gchar* text = nullptr;
    g_object_get(alert, "text", &text, nullptr);
    EXPECT_STREQ(text, OnboardingUI::kInvalidInput);
    g_free(text);
  });
  display.screenshot("onboarding-invalid-json.png");
  display.press(XK_Return);
  config = awaitWindow(display, GtkOnboardingWindows::kConfigWindowName);
  display.type(R"({"server":"https://cp.example","token":"inside","commandPubkey":"Q01E"})");
  clickButton(display, config, "");  // the token field
  display.type("typed");
  display.screenshot("onboarding-config.png");
  clickButton(display, config, "Nur Sitzung");
  chosen = result.get();
  ASSERT_EQ(chosen.kind, Kind::provisioned);
  EXPECT_EQ(chosen.config->serverBaseURL, "https://cp.example");
  EXPECT_EQ(chosen.config->enrollmentToken, "typed");
  EXPECT_EQ(testing::readFileOrEmpty(state.file("pinned/command_pubkey.b64")), "Q01E");

  // Installing with the prefilled document: a cancelled authorization is shown and the
  // window comes back; the second attempt installs.
  ProvisioningPayload prefill;
  prefill.server = "https://cp.example";
  prefill.token = "T";
  int attempts = 0;
  result = start(windows, prefill, [&](const ProvisioningPayload& payload) {
    EXPECT_EQ(payload, prefill);
    return ++attempts == 1 ? std::optional(SystemInstall::InstallError::authorizationFailed(""))
                           : std::nullopt;
  });
  code = awaitWindow(display, GtkOnboardingWindows::kCodeWindowName);
  clickButton(display, code, "Konfiguration hinterlegen…");
  config = awaitWindow(display, GtkOnboardingWindows::kConfigWindowName);
  display.screenshot("onboarding-config-prefilled.png");
  clickButton(display, config, "Installieren");
  alert = awaitWindow(display, GtkOnboardingWindows::kAlertName);
  EXPECT_TRUE(has(labelsOf(display, alert), "authorization was cancelled"));
  display.screenshot("onboarding-install-failed.png");
  display.press(XK_Return);
  config = awaitWindow(display, GtkOnboardingWindows::kConfigWindowName);
  clickButton(display, config, "Installieren");
  alert = awaitWindow(display, GtkOnboardingWindows::kAlertName);
  EXPECT_TRUE(has(labelsOf(display, alert),
                  "Der Dienst wurde installiert und verbindet sich mit https://cp.example. Er startet "
                  "ab jetzt automatisch (auch nach Neustart)."));
  display.screenshot("onboarding-installed.png");
  display.press(XK_Return);
  EXPECT_EQ(result.get().kind, Kind::installedSystemAgent);

  // Escape cancels.
  result = start(windows, std::nullopt, noInstall);
  awaitWindow(display, GtkOnboardingWindows::kCodeWindowName);
  display.press(XK_Escape);
  EXPECT_EQ(result.get().kind, Kind::cancelled);
}

}  // namespace
}  // namespace vela
