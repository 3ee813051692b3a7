#include "ui/quick_assist_session_window.h"

#include <gtk/gtk.h>

#include <utility>

#include "ui/code_prompt.h"
#include "ui/desktop_branding.h"
#include "ui/main_loop.h"
#include "ui/styled_label.h"

namespace vela {
namespace {

constexpr int kContentWidth = 420;

// The window keeps its width, and so its place, whichever state it shows.
GtkWidget* fitted(GtkWidget* label) { return fittedTo(kContentWidth, label); }

// The button and the close box reach the window only while it lives.
using WeakWindow = std::weak_ptr<GtkQuickAssistSessionWindow>;

template <typename Handler>
void connectWeak(GtkWidget* widget, const char* signal, Handler handler, const WeakWindow& weak) {
  g_signal_connect_data(widget, signal, G_CALLBACK(handler), new WeakWindow(weak),
                        [](gpointer data, GClosure*) { delete static_cast<WeakWindow*>(data); }, GConnectFlags(0));
}

}  // namespace

std::shared_ptr<GtkQuickAssistSessionWindow> GtkQuickAssistSessionWindow::open(const char* widgetName,
                                                                                std::function<void()> end) {
  std::shared_ptr<GtkQuickAssistSessionWindow> window(new GtkQuickAssistSessionWindow(std::move(end)));
  onMainLoop([weak = std::weak_ptr(window), widgetName] {
    if (auto self = weak.lock()) self->build(widgetName);
  });
  return window;
}

GtkQuickAssistSessionWindow::~GtkQuickAssistSessionWindow() {
  if (GtkWidget* window = window_) onMainLoop([window] { gtk_widget_destroy(window); });
}

void GtkQuickAssistSessionWindow::build(const char* widgetName) {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWindow* w = GTK_WINDOW(window_);
  gtk_widget_set_name(window_, widgetName);
  gtk_window_set_title(w, QuickAssistWindows::kCodeWindowTitle);
  gtk_window_set_resizable(w, FALSE);
  gtk_window_set_position(w, GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(w, TRUE);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_container_set_border_width(GTK_CONTAINER(box), 20);
  gtk_widget_set_size_request(box, kContentWidth + 40, -1);
  if (Pixbuf logo = DesktopBranding::defaultLogo()) {
    Pixbuf icon = scaledToFit(logo.get(), 64);
    gtk_box_pack_start(GTK_BOX(box), gtk_image_new_from_pixbuf(icon.get()), FALSE, FALSE, 0);
  }
  heading_ = fitted(styledLabel(kWaitingHeading, {17, PANGO_WEIGHT_BOLD, 1, true}));
  gtk_box_pack_start(GTK_BOX(box), heading_, FALSE, FALSE, 0);
  spinner_ = gtk_spinner_new();
  gtk_widget_set_size_request(spinner_, 24, 24);
  gtk_spinner_start(GTK_SPINNER(spinner_));
  gtk_box_pack_start(GTK_BOX(box), spinner_, FALSE, FALSE, 0);
  status_ = fitted(styledLabel("", {12, PANGO_WEIGHT_NORMAL, 0.65, true}));
  gtk_box_pack_start(GTK_BOX(box), status_, FALSE, FALSE, 0);
  details_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_box_pack_start(GTK_BOX(details_), fitted(styledLabel(kRunningText, {13, PANGO_WEIGHT_NORMAL, 1, true})),
                     FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(details_), fitted(styledLabel(kEndHint, {11, PANGO_WEIGHT_NORMAL, 0.55, true})),
                     FALSE, FALSE, 0);
  gtk_widget_set_no_show_all(details_, TRUE);
  gtk_box_pack_start(GTK_BOX(box), details_, FALSE, FALSE, 0);

  button_ = actionButton("Abbrechen");
  gtk_widget_set_halign(button_, GTK_ALIGN_END);
  gtk_widget_set_margin_top(button_, 12);
  gtk_box_pack_start(GTK_BOX(box), button_, FALSE, FALSE, 0);
  const WeakWindow weak = weak_from_this();
  connectWeak(button_, "clicked", +[](GtkButton*, gpointer data) {
    if (auto self = static_cast<WeakWindow*>(data)->lock()) self->pressed();
  }, weak);
  connectWeak(window_, "delete-event", +[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
    if (auto self = static_cast<WeakWindow*>(data)->lock()) self->pressed();
    return TRUE;  // the flow closes the window once the session is over
  }, weak);

  gtk_container_add(GTK_CONTAINER(window_), box);
  gtk_widget_show_all(window_);
  gtk_window_present(w);
}

void GtkQuickAssistSessionWindow::pressed() {
  if (!end_ || !button_) return;
  // Ending takes a moment (the recording is finished first); one press is enough.
  gtk_widget_set_sensitive(button_, FALSE);
  auto end = std::exchange(end_, nullptr);
  end();
}

void GtkQuickAssistSessionWindow::waiting(const std::string& status) {
  onMainLoop([weak = weak_from_this(), status] {
    auto self = weak.lock();
    if (!self || !self->status_) return;
    gtk_label_set_text(GTK_LABEL(self->status_), status.c_str());
  });
}

void GtkQuickAssistSessionWindow::running() {
  onMainLoop([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || !self->window_) return;
    gtk_label_set_text(GTK_LABEL(self->heading_), kRunningHeading);
    gtk_spinner_stop(GTK_SPINNER(self->spinner_));
    gtk_widget_hide(self->spinner_);
    gtk_widget_hide(self->status_);
    gtk_widget_set_no_show_all(self->details_, FALSE);
    gtk_widget_show_all(self->details_);
    gtk_button_set_label(GTK_BUTTON(self->button_), "Beenden");
    // The operator works on this screen now: the window no longer stays above theirs.
    gtk_window_set_keep_above(GTK_WINDOW(self->window_), FALSE);
  });
}

void GtkQuickAssistSessionWindow::close() {
  onMainLoop([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || !self->window_) return;
    gtk_widget_destroy(self->window_);
    self->window_ = self->heading_ = self->spinner_ = self->status_ = self->details_ = self->button_ = nullptr;
  });
}

}  // namespace vela
