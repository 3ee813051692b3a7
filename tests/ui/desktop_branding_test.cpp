#include "ui/desktop_branding.h"

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "ui/gtk_display.h"
#include "util/base64.h"

namespace vela {
namespace {

using testing::GtkDisplay;

// A point on the logo's disc, away from the sail: blue in the light logo, white in the
// dark one.
unsigned discColour(GdkPixbuf* logo) { return testing::pixelAt(logo, 30, 64); }

TEST(DesktopBranding, TenantLogosDecodeOnlyFromBase64OfAnImage) {
  EXPECT_EQ(DesktopBranding::logo("not base64 at all!"), nullptr);

  auto dir = DesktopBranding::shareDirectory();
  ASSERT_TRUE(dir);
  std::string png = testing::readFileOrEmpty(*dir / "brand-light.png");
  ASSERT_FALSE(png.empty());
  EXPECT_EQ(DesktopBranding::logo(Base64::encode(png.substr(0, 8) + "not really a PNG")), nullptr);
  Pixbuf tenant = DesktopBranding::logo(Base64::encode(png));
  ASSERT_NE(tenant, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(tenant.get()), 128);

  // A large canvas is decoded no larger than 256 pixels on its long side.
  Pixbuf wide(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 4096, 1024));
  gdk_pixbuf_fill(wide.get(), 0x336699ffu);
  gchar* encoded = nullptr;
  gsize size = 0;
  ASSERT_TRUE(gdk_pixbuf_save_to_buffer(wide.get(), &encoded, &size, "png", nullptr, nullptr));
  Pixbuf capped = DesktopBranding::logo(Base64::encode(std::string(encoded, size)));
  g_free(encoded);
  ASSERT_NE(capped, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(capped.get()), 256);
  EXPECT_EQ(gdk_pixbuf_get_height(capped.get()), 64);
}

TEST(DesktopBranding, DefaultLogoFollowsTheDarkThemePreference) {
  GtkDisplay::shared().run([] {
    GtkSettings* settings = gtk_settings_get_default();
    g_object_set(settings, "gtk-application-prefer-dark-theme", TRUE, nullptr);
    Pixbuf dark = DesktopBranding::defaultLogo();
    g_object_set(settings, "gtk-application-prefer-dark-theme", FALSE, nullptr);
    ASSERT_NE(dark, nullptr);
    EXPECT_EQ(discColour(dark.get()), 0xfafafcu);
    Pixbuf fallback = DesktopBranding::resolve("%%%");  // invalid: the light default
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(discColour(fallback.get()), 0x183e78u);
  });
}

}  // namespace
}  // namespace vela
