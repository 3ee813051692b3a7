#include "ui/desktop_indicator.h"

#include <gtk/gtk.h>

#include <cmath>

#include "ui/desktop_branding.h"
#include "ui/end_shortcut.h"
#include "ui/main_loop.h"

namespace vela {

namespace {

constexpr double kRadius = 20;
constexpr double kAlpha = 0.92;
// The desktop's usual warning red (GNOME palette "Red 3").
constexpr double kRed[] = {0xe0 / 255.0, 0x1b / 255.0, 0x24 / 255.0};

// Screen-wide, but only for what lies inside the banner: the theme's button would be
// grey on red.
constexpr const char* kStyle = R"(
#vela-desktop-indicator button {
  color: #ffffff; font-weight: bold; text-shadow: none; box-shadow: none;
  background-image: none; background-color: rgba(0, 0, 0, 0.22);
  border: 1px solid rgba(255, 255, 255, 0.85); border-radius: 13px;
  min-height: 24px; padding: 0 12px;
}
#vela-desktop-indicator button:hover { background-color: rgba(0, 0, 0, 0.38); }
#vela-desktop-indicator button:active { background-color: rgba(0, 0, 0, 0.55); }
#vela-desktop-indicator button label { color: #ffffff; }
)";

void styleOnce(GdkScreen* screen) {
  static bool styled = false;  // main loop only
  if (styled) return;
  styled = true;
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, kStyle, -1, nullptr);
  gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

void roundedRectangle(cairo_t* cr, double w, double h, double r) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, w - r, r, r, -M_PI / 2, 0);
  cairo_arc(cr, w - r, h - r, r, 0, M_PI / 2);
  cairo_arc(cr, r, h - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, r, r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

gboolean drawBackground(GtkWidget* widget, cairo_t* cr, gpointer) {
  const bool translucent = gdk_screen_is_composited(gtk_widget_get_screen(widget));
  cairo_save(cr);
  if (translucent) {
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cr, 0, 0, 0, 0);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  }
  roundedRectangle(cr, DesktopIndicator::kWidth, DesktopIndicator::kHeight, kRadius);
  cairo_set_source_rgba(cr, kRed[0], kRed[1], kRed[2], translucent ? kAlpha : 1.0);
  cairo_fill(cr);
  cairo_restore(cr);
  return FALSE;  // the logo, the text and the button draw on top
}

// Without a compositor there is no alpha channel: the corners are cut with the X shape
// extension instead, and the red is opaque.
void cutCorners(GtkWidget* window) {
  cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A1, DesktopIndicator::kWidth,
                                                     DesktopIndicator::kHeight);
  cairo_t* cr = cairo_create(mask);
  roundedRectangle(cr, DesktopIndicator::kWidth, DesktopIndicator::kHeight, kRadius);
  cairo_fill(cr);
  cairo_destroy(cr);
  cairo_region_t* region = gdk_cairo_region_create_from_surface(mask);
  gtk_widget_shape_combine_region(window, region);
  cairo_region_destroy(region);
  cairo_surface_destroy(mask);
}

// The pointer reaches the banner only on its button; everywhere else the X server
// delivers it to the window below. Runs whenever the button is laid out anew; the
// button has no window of its own, so its allocation is in the banner's coordinates.
void takeClicksOnlyOn(GtkWidget* button, GdkRectangle* allocation, gpointer) {
  GdkWindow* native = gtk_widget_get_window(gtk_widget_get_toplevel(button));
  if (!native) return;
  const cairo_rectangle_int_t area{allocation->x, allocation->y, allocation->width, allocation->height};
  cairo_region_t* region = cairo_region_create_rectangle(&area);
  gdk_window_input_shape_combine_region(native, region, 0, 0);
  cairo_region_destroy(region);
}

GdkRectangle primaryWorkArea() {
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  GdkRectangle area{0, 0, 1920, 1080};
  if (monitor) gdk_monitor_get_workarea(monitor, &area);
  return area;
}

GtkWidget* textLabel(const std::string& text) {
  GtkWidget* label = gtk_label_new(text.c_str());
  PangoAttrList* attrs = pango_attr_list_new();
  pango_attr_list_insert(attrs, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  // The design's 13-point system font is the desktop's own font size here.
  pango_attr_list_insert(attrs, pango_attr_foreground_new(0xffff, 0xffff, 0xffff));
  gtk_label_set_attributes(GTK_LABEL(label), attrs);
  pango_attr_list_unref(attrs);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  // The banner keeps its width: a long text is cut, it does not widen the banner.
  gtk_label_set_width_chars(GTK_LABEL(label), 1);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
  return label;
}

// The button's click reaches the banner only while it lives; the closure owns this.
using WeakBanner = std::weak_ptr<DesktopIndicator>;

}  // namespace

std::shared_ptr<DesktopIndicator> DesktopIndicator::create() {
  return std::shared_ptr<DesktopIndicator>(new DesktopIndicator());
}

DesktopIndicator::~DesktopIndicator() {
  // A banner must not outlive its session, even when nobody called hide().
  if (GtkWidget* window = window_) {
    onMainLoop([window, shortcut = shortcut_] {
      EndShortcut::remove(shortcut);
      gtk_widget_destroy(window);
    });
  }
}

void DesktopIndicator::show(const std::string& text, const std::string& logoBase64, Shown shown) {
  onMainLoop([weak = weak_from_this(), text, logoBase64, shown = std::move(shown)] {
    auto self = weak.lock();
    const bool onScreen = self && self->showOnMainLoop(text, logoBase64);
    if (shown) shown(onScreen);
  });
}

void DesktopIndicator::hide() {
  onMainLoop([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->hideOnMainLoop();
  });
}

void DesktopIndicator::endRequested() {
  if (onEnd_) onEnd_();
}

bool DesktopIndicator::showOnMainLoop(const std::string& text, const std::string& logoBase64) {
  hideOnMainLoop();
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_set_name(window, kWidgetName);
  gtk_window_set_title(GTK_WINDOW(window), text.c_str());
  GtkWindow* w = GTK_WINDOW(window);
  gtk_window_set_decorated(w, FALSE);
  gtk_window_set_resizable(w, FALSE);
  gtk_window_set_keep_above(w, TRUE);
  gtk_window_stick(w);  // on every workspace
  gtk_window_set_skip_taskbar_hint(w, TRUE);
  gtk_window_set_skip_pager_hint(w, TRUE);
  gtk_window_set_accept_focus(w, FALSE);
  gtk_window_set_focus_on_map(w, FALSE);
  gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_DOCK);
  gtk_widget_set_size_request(window, kWidth, kHeight);

  GdkScreen* screen = gtk_widget_get_screen(window);
  styleOnce(screen);
  GdkVisual* rgba = gdk_screen_get_rgba_visual(screen);
  const bool translucent = rgba && gdk_screen_is_composited(screen);
  if (translucent) gtk_widget_set_visual(window, rgba);
  gtk_widget_set_app_paintable(window, TRUE);
  g_signal_connect(window, "draw", G_CALLBACK(drawBackground), nullptr);

  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_widget_set_margin_start(row, 12);
  gtk_widget_set_margin_end(row, kButtonMargin);
  if (Pixbuf logo = DesktopBranding::resolve(logoBase64)) {
    Pixbuf small = scaledToFit(logo.get(), 24);
    GtkWidget* image = gtk_image_new_from_pixbuf(small.get());
    gtk_widget_set_size_request(image, 24, 24);
    gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(row), textLabel(text), TRUE, TRUE, 0);
  GtkWidget* end = gtk_button_new_with_label(kButtonLabel);
  gtk_widget_set_size_request(end, kButtonMinWidth, -1);
  gtk_widget_set_valign(end, GTK_ALIGN_CENTER);
  gtk_widget_set_focus_on_click(end, FALSE);
  gtk_widget_set_tooltip_text(end, (std::string("Sitzung beenden (") + EndShortcut::kLabel + ")").c_str());
  g_signal_connect_data(end, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                          if (auto self = static_cast<WeakBanner*>(data)->lock()) self->endRequested();
                        }),
                        new WeakBanner(weak_from_this()),
                        [](gpointer data, GClosure*) { delete static_cast<WeakBanner*>(data); }, GConnectFlags(0));
  g_signal_connect(end, "size-allocate", G_CALLBACK(takeClicksOnlyOn), nullptr);
  gtk_box_pack_end(GTK_BOX(row), end, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(window), row);

  const GdkRectangle area = primaryWorkArea();
  gtk_window_move(w, area.x + area.width / 2 - kWidth / 2, area.y + kTopMargin);
  gtk_widget_realize(window);
  if (!translucent) cutCorners(window);
  gtk_widget_show_all(window);
  // Showing the window lays it out and then resets its input shape: the button's place
  // is known, and taken, only now.
  GtkAllocation placed;
  gtk_widget_get_allocation(end, &placed);
  takeClicksOnlyOn(end, &placed, nullptr);
  gdk_window_raise(gtk_widget_get_window(window));
  window_ = window;
  shortcut_ = EndShortcut::add([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->endRequested();
  });
  return gtk_widget_get_mapped(window);
}

void DesktopIndicator::hideOnMainLoop() {
  if (!window_) return;
  EndShortcut::remove(shortcut_);
  shortcut_ = 0;
  gtk_widget_destroy(window_);
  window_ = nullptr;
}

}  // namespace vela
