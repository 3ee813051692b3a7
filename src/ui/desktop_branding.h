#pragma once

// The logo shown in the session banner and the consent dialog: a tenant's own image
// when it sends one, else the default logo installed with the agent (brand-dark.png on
// dark desktops, brand-light.png otherwise; where it is looked for: config/brand_files.h). isDarkAppearance() reads GTK settings: call it on the main loop thread
// after GTK is initialised; the rest is thread-safe.

#include <filesystem>
#include <optional>
#include <string_view>

#include "ui/pixbuf.h"

namespace vela::DesktopBranding {

bool isDarkAppearance();
Pixbuf defaultLogo();
// Empty or invalid Base64, or bytes that are not an image, give no image.
Pixbuf logo(std::string_view fromBase64);
Pixbuf resolve(std::string_view tenantBase64);

// The folder the default logos are taken from; none when no folder holds one.
std::optional<std::filesystem::path> shareDirectory();

}  // namespace vela::DesktopBranding
