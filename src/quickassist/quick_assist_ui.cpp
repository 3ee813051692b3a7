#include "quickassist/quick_assist_ui.h"

#include <cstdlib>

#include "desktop/host/desktop_module.h"
#include "util/log.h"
#include "util/no_ui.h"

namespace vela::QuickAssistUI {
namespace {

std::shared_ptr<QuickAssistWindows> windows() {
  if (uiTurnedOff()) return nullptr;
  auto services = DesktopModule::services();
  return services && (*services)->windows ? (*services)->windows->quickAssist() : nullptr;
}

}  // namespace

std::string digitsOnly(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c >= '0' && c <= '9') digits.push_back(c);
  return digits;
}

std::optional<std::string> askForCode() {
  auto shown = windows();
  if (!shown) return std::nullopt;
  auto text = shown->askForCode();
  if (!text) return std::nullopt;
  std::string digits = digitsOnly(*text);
  if (digits.empty()) return std::nullopt;
  return digits;
}

std::shared_ptr<QuickAssistSessionWindow> openSession(std::function<void()> end) {
  auto shown = windows();
  return shown ? shown->openSession(std::move(end)) : nullptr;
}

void showError(const std::string& text) {
  if (auto shown = windows()) return shown->showError(text);
  Log::warn(text);
}

void showInfo(const std::string& text, const std::string& title) {
  if (auto shown = windows()) return shown->showInfo(text, title);
  (void)title;
  Log::info(text);
}

}  // namespace vela::QuickAssistUI
