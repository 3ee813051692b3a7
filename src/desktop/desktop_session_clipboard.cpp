// The session's clipboard sharing, beside the controller's other work on its queue.

#include "desktop/desktop_session_controller.h"
#include "util/canonical_json.h"
#include "util/log.h"

namespace vela {

void DesktopSessionController::startClipboard() {
  if (!clipboard_) return;
  std::weak_ptr<DesktopSessionController> weak = weak_from_this();
  clipboard_->start([weak](const std::string& text) {
    auto self = weak.lock();
    if (!self) return;
    self->queue_->async([weak, text] {
      auto s = weak.lock();
      if (!s || s->closed_) return;
      for (const auto& message : ClipboardMessages::encode(text, ++s->clipboardOut_)) s->peer_->sendControl(message);
    });
  });
}

bool DesktopSessionController::applyClipboard(const std::string& bytes) {
  auto outcome = clipboardIn_.add(bytes);
  if (!outcome) return false;
  if (!clipboard_) return true;  // not shared in this session
  if (outcome->refused) {
    Log::warn("desktop: " + *outcome->refused);
    peer_->sendControl(CanonicalJSON::encode(JSONValue{{"t", "clip-refused"}, {"message", *outcome->refused}}));
  }
  if (outcome->text) clipboard_->set(std::move(*outcome->text));
  return true;
}

}  // namespace vela
