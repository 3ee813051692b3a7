#include "config/onboarding.h"

#include "util/text_fields.h"

namespace vela::OnboardingUI {
namespace {

using Action = OnboardingWindows::Action;

enum class Shown { code, config };

}  // namespace

Installer systemInstaller() {
  return [](const ProvisioningPayload& payload) {
    return SystemInstall::install(payload, SystemInstall::resolvePlan());
  };
}

std::optional<ProvisioningPayload> parse(const std::string& json, const std::string& tokenOverride) {
  auto payload = ProvisioningPayload::decode(TextFields::trim(json));
  if (!payload || payload->server.empty()) return std::nullopt;
  const std::string_view token = TextFields::trim(tokenOverride);
  if (!token.empty()) payload->token = std::string(token);
  return std::move(*payload);
}

OnboardingResult run(OnboardingWindows& windows, const std::optional<ProvisioningPayload>& prefill,
                     const Installer& install) {
  const std::string prefillJSON = prefill ? prefill->encode() : "";
  Shown shown = Shown::code;
  for (;;) {
    if (shown == Shown::code) {
      auto answer = windows.presentQuickAssist();
      if (answer.action == Action::toggle) {
        shown = Shown::config;
        continue;
      }
      if (answer.action != Action::connect) return OnboardingResult::of(OnboardingResult::Kind::cancelled);
      std::string digits;
      for (char c : answer.code) {
        if (c >= '0' && c <= '9') digits += c;
      }
      if (digits.empty()) continue;
      return OnboardingResult::quickAssistWith(digits);
    }

    auto answer = windows.presentConfig(prefillJSON);
    if (answer.action == Action::toggle) {
      shown = Shown::code;
      continue;
    }
    if (answer.action != Action::install && answer.action != Action::connect) {
      return OnboardingResult::of(OnboardingResult::Kind::cancelled);
    }
    auto payload = parse(answer.json, answer.token);
    if (!payload) {
      windows.alert(kInvalidInput, "", false);
      continue;
    }
    if (answer.action == Action::connect) {
      (void)payload->applyPinnedMaterial();  // the session still runs on the default trust
      return OnboardingResult::provisionedWith(payload->toConfig());
    }
    if (auto error = install(*payload)) {
      windows.alert("Installation fehlgeschlagen", error->description(), true);
      continue;
    }
    windows.alert("Agent installiert",
                  "Der Dienst wurde installiert und verbindet sich mit " + payload->server + ". " +
                      "Er startet ab jetzt automatisch (auch nach Neustart).",
                  false);
    return OnboardingResult::of(OnboardingResult::Kind::installedSystemAgent);
  }
}

}  // namespace vela::OnboardingUI
