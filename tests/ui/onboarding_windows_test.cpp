#include "ui/onboarding_windows.h"

#include <X11/keysym.h>
#include <gtk/gtk.h>
#include <gmock/gmock.h>

#include <future>

#include "support/temp_dir.h"
#include "ui/gtk_display.h"

namespace vela {
namespace {

using ::testing::Contains;
using testing::GtkDisplay;
using Kind = OnboardingResult::Kind;

void clickButton(GtkDisplay& display, GtkWidget* window, const std::string& title) {
  testing::ScreenRect rect = display.buttonRect(window, title);
  ASSERT_GT(rect.width, 0) << title;
  display.click(rect);
}

// Alerts carry the window's title and an icon, as the quick-assist ones do.
void expectTitleAndIcon(GtkDisplay& display, GtkWidget* alert) {
  display.run([&] {
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(alert)), "Vela Agent – Konfiguration");
    bool icon = false;
    gtk_container_forall(
        GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(alert))),
        [](GtkWidget* row, gpointer found) {
          if (GTK_IS_CONTAINER(row))
            gtk_container_foreach(
                GTK_CONTAINER(row), [](GtkWidget* w, gpointer f) { *static_cast<bool*>(f) |= GTK_IS_IMAGE(w); }, found);
        },
        &icon);
    EXPECT_TRUE(icon);
  });
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
  GtkWidget* code = display.awaitWindow(GtkOnboardingWindows::kCodeWindowName);
  auto texts = display.labelsOf(code);
  EXPECT_THAT(texts, Contains("Support-Code eingeben"));
  EXPECT_THAT(texts, Contains("Geben Sie den Code ein, den Ihnen der Support durchgegeben hat."));
  display.screenshot("onboarding-code.png");
  display.press(XK_Return);
  code = display.awaitWindow(GtkOnboardingWindows::kCodeWindowName);
  display.type("123 456 789");
  display.screenshot("onboarding-code-typed.png");
  clickButton(display, code, "Verbinden");
  OnboardingResult chosen = result.get();
  EXPECT_EQ(chosen.kind, Kind::quickAssist);
  EXPECT_EQ(chosen.code, "123456789");

  // Pasted JSON for this session: invalid input is refused with the alert, the token field
  // wins over the document's token, and the pinned key is written before the answer.
  result = start(windows, std::nullopt, noInstall);
  code = display.awaitWindow(GtkOnboardingWindows::kCodeWindowName);
  clickButton(display, code, "Konfiguration hinterlegen…");
  GtkWidget* config = display.awaitWindow(GtkOnboardingWindows::kConfigWindowName);
  display.type("kein json");
  clickButton(display, config, "Nur Sitzung");
  GtkWidget* alert = display.awaitWindow(GtkOnboardingWindows::kAlertName);
  EXPECT_THAT(display.labelsOf(alert), Contains(OnboardingUI::kInvalidInput));
  expectTitleAndIcon(display, alert);
  display.screenshot("onboarding-invalid-json.png");
  display.press(XK_Return);
  config = display.awaitWindow(GtkOnboardingWindows::kConfigWindowName);
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
  code = display.awaitWindow(GtkOnboardingWindows::kCodeWindowName);
  clickButton(display, code, "Konfiguration hinterlegen…");
  config = display.awaitWindow(GtkOnboardingWindows::kConfigWindowName);
  display.screenshot("onboarding-config-prefilled.png");
  clickButton(display, config, "Installieren");
  alert = display.awaitWindow(GtkOnboardingWindows::kAlertName);
  EXPECT_THAT(display.labelsOf(alert), Contains("authorization was cancelled"));
  expectTitleAndIcon(display, alert);
  display.screenshot("onboarding-install-failed.png");
  display.press(XK_Return);
  config = display.awaitWindow(GtkOnboardingWindows::kConfigWindowName);
  clickButton(display, config, "Installieren");
  alert = display.awaitWindow(GtkOnboardingWindows::kAlertName);
  EXPECT_THAT(
      display.labelsOf(alert),
      Contains("Der Dienst wurde installiert und verbindet sich mit https://cp.example. Er startet "
               "ab jetzt automatisch (auch nach Neustart)."));
  expectTitleAndIcon(display, alert);
  display.screenshot("onboarding-installed.png");
  display.press(XK_Return);
  EXPECT_EQ(result.get().kind, Kind::installedSystemAgent);

  result = start(windows, std::nullopt, noInstall);
  display.awaitWindow(GtkOnboardingWindows::kCodeWindowName);
  display.press(XK_Escape);
  EXPECT_EQ(result.get().kind, Kind::cancelled);
}

}  // namespace
}  // namespace vela
