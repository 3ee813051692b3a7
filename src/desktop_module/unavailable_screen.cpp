#include "desktop_module/unavailable_screen.h"

#include "util/serial_queue.h"

namespace vela {
namespace {

class RefusingCapturer final : public ScreenCapturer {
 public:
  explicit RefusingCapturer(std::string why) : why_(std::move(why)), queue_("vela.screencap.samples") {}
  void setOnFrame(FrameHandler) override {}
  void setOnStopped(StopHandler) override {}
  void start(std::optional<std::uint32_t>, StartCompletion completion) override {
    queue_.async([why = why_, completion = std::move(completion)] {
      if (completion) completion(tl::unexpected(CaptureError::notPermitted(why)));
    });
  }
  void stop() override { (void)queue_.sync([] {}); }
  void refresh() override {}

 private:
  const std::string why_;
  SerialQueue queue_;
};

class UnavailableScreen final : public DesktopScreen {
 public:
  explicit UnavailableScreen(std::string why) : why_(std::move(why)) {}
  ScreenPermissions::Summary permissions() override { return {}; }
  std::vector<Displays::Info> displays() override { return {}; }
  std::shared_ptr<ScreenCapturer> makeCapturer(ScreenCapturer::Config) override {
    return std::make_shared<RefusingCapturer>(why_);
  }
  std::unique_ptr<InputInjector> makeInjector(const std::shared_ptr<ScreenCapturer>&) override { return nullptr; }
  std::string name() override { return "none"; }
  std::string unusable() override { return why_; }

 private:
  const std::string why_;
};

}  // namespace

std::unique_ptr<DesktopScreen> makeUnavailableScreen(std::string why) {
  return std::make_unique<UnavailableScreen>(std::move(why));
}

}  // namespace vela
