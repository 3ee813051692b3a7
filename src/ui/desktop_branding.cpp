#include "ui/desktop_branding.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "config/brand_files.h"
#include "util/base64.h"

namespace vela {

Pixbuf scaledToFit(GdkPixbuf* image, int size) {
  const int w = gdk_pixbuf_get_width(image);
  const int h = gdk_pixbuf_get_height(image);
  const double scale = double(size) / double(std::max(w, h));
  return Pixbuf(gdk_pixbuf_scale_simple(image, std::max(1, int(w * scale + 0.5)),
                                        std::max(1, int(h * scale + 0.5)), GDK_INTERP_BILINEAR));
}

namespace DesktopBranding {

bool isDarkAppearance() {
  GtkSettings* settings = gtk_settings_get_default();
  if (!settings) return false;
  gboolean preferDark = FALSE;
  gchar* theme = nullptr;
  g_object_get(settings, "gtk-application-prefer-dark-theme", &preferDark, "gtk-theme-name", &theme,
               nullptr);
  std::string name = theme ? theme : "";
  g_free(theme);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // Dark variants are named "<Theme>-dark" (Adwaita-dark) or selected with ":dark".
  return preferDark || name.find("dark") != std::string::npos;
}

std::optional<std::filesystem::path> shareDirectory() {
  auto dir = BrandFiles::directory();
  if (!dir) return std::nullopt;
  return std::filesystem::path(*dir);
}

Pixbuf defaultLogo() {
  auto dir = shareDirectory();
  if (!dir) return nullptr;
  const bool dark = isDarkAppearance();
  // A folder may hold only one of the two: better the other one than none.
  for (std::string_view name : {dark ? BrandFiles::kDark : BrandFiles::kLight, dark ? BrandFiles::kLight : BrandFiles::kDark}) {
    auto file = *dir / name;
    if (Pixbuf image{gdk_pixbuf_new_from_file(file.c_str(), nullptr)}) return image;
  }
  return nullptr;
}

Pixbuf logo(std::string_view fromBase64) {
  if (fromBase64.empty()) return nullptr;
  auto bytes = Base64::decode(fromBase64);
  if (!bytes || bytes->empty()) return nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  // Logos come from the network: a small file may claim a huge canvas, so decode at
  // most what a dialog icon needs.
  g_signal_connect(
      loader, "size-prepared", G_CALLBACK(+[](GdkPixbufLoader* l, gint w, gint h, gpointer) {
        constexpr int kMax = 256;
        if (w <= kMax && h <= kMax) return;
        const double scale = double(kMax) / double(std::max(w, h));
        gdk_pixbuf_loader_set_size(l, std::max(1, int(w * scale)), std::max(1, int(h * scale)));
      }),
      nullptr);
  const bool written = gdk_pixbuf_loader_write(loader, bytes->data(), bytes->size(), nullptr);
  const bool closed = gdk_pixbuf_loader_close(loader, nullptr);
  Pixbuf image;
  if (written && closed) {
    if (GdkPixbuf* decoded = gdk_pixbuf_loader_get_pixbuf(loader)) {
      image.reset(GDK_PIXBUF(g_object_ref(decoded)));
    }
  }
  g_object_unref(loader);
  return image;
}

Pixbuf resolve(std::string_view tenantBase64) {
  if (auto tenant = logo(tenantBase64)) return tenant;
  return defaultLogo();
}

}  // namespace DesktopBranding
}  // namespace vela
