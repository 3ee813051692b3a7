#pragma once

// The X11 CLIPBOARD selection as a DesktopClipboard: a connection and an unmapped
// window of its own, XFixes to hear of every new owner, UTF8_STRING to read and serve
// text, read whole or, when its owner offers it so, incrementally (INCR). A text over
// kMaxBytes is never read whole: announced over it, it is not read at all; growing
// past it, it is dropped there.

#include <memory>

#include "desktop/desktop_clipboard.h"

namespace vela {

// Nothing when the display cannot be opened or lacks XFixes. `maxBytes` other than the
// cap is for tests that play a program owning a bigger text.
std::shared_ptr<DesktopClipboard> makeX11Clipboard(std::size_t maxBytes = DesktopClipboard::kMaxBytes);

}  // namespace vela
