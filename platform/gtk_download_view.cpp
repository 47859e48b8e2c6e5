// The download window on GTK 3; the only file that sees the toolkit.
#include <gtk/gtk.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <string>

#include "platform/download_view.h"
#include "platform/transfer_text.h"

namespace platform {

namespace {

constexpr guint kPulseIntervalMs = 100;
constexpr int kContentWidth = 400;
constexpr int kMargin = 20;

bool openDisplay() {
  // The window must not change the process's locale under the rest of the
  // program (number formatting, child processes): put it back afterwards.
  const char* current = std::setlocale(LC_ALL, nullptr);
  std::string saved = current ? current : "C";
  // GDK would load the GL driver (LLVM and all) only to pick visuals, a
  // large part of the time to the window; nothing here draws with GL. GDK
  // reads this while it initialises, so it is gone before the agent inherits
  // the environment, and a user's own setting wins.
  bool disableGl = g_getenv("GDK_GL") == nullptr;
  if (disableGl) g_setenv("GDK_GL", "disable", TRUE);
  // Only real displays: the broadway (web) backend would be tried last and
  // leave an empty ~/.cache behind when XDG_RUNTIME_DIR is unset.
  gdk_set_allowed_backends("wayland,x11");
  gboolean ok = gtk_init_check(nullptr, nullptr);
  if (disableGl) g_unsetenv("GDK_GL");
  std::setlocale(LC_ALL, saved.c_str());
  return ok;
}

void installStyleOnce() {
  // The screen keeps the provider for the rest of the process.
  static GtkCssProvider* provider = nullptr;
  GdkScreen* screen = gdk_screen_get_default();
  if (provider || !screen) return;
  provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, "label.error { color: #cc0000; }", -1, nullptr);
  gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

GtkWidget* makeLineLabel(const char* name) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_widget_set_name(label, name);
  gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  // Long texts ellipsize inside the column instead of widening the window.
  gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_hexpand(label, TRUE);
  return label;
}

class GtkDownloadView final : public DownloadView {
 public:
  GtkDownloadView(const std::string& title, std::function<void()> onClose)
      : onClose_(std::move(onClose)) {
    installStyleOnce();
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
    gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    g_object_set(box, "margin", kMargin, nullptr);
    gtk_widget_set_size_request(box, kContentWidth, -1);

    image_ = gtk_image_new();
    gtk_widget_set_name(image_, "splash");
    gtk_box_pack_start(GTK_BOX(box), image_, FALSE, FALSE, 0);

    bar_ = gtk_progress_bar_new();
    gtk_widget_set_name(bar_, "progress");
    gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(bar_), 0.05);
    gtk_widget_set_margin_top(bar_, 8);
    gtk_box_pack_start(GTK_BOX(box), bar_, FALSE, FALSE, 0);

    status_ = makeLineLabel("status");
    gtk_box_pack_start(GTK_BOX(box), status_, FALSE, FALSE, 0);

    detail_ = makeLineLabel("detail");
    gtk_style_context_add_class(gtk_widget_get_style_context(detail_), "dim-label");
    PangoAttrList* smaller = pango_attr_list_new();
    pango_attr_list_insert(smaller, pango_attr_scale_new(PANGO_SCALE_SMALL));
    gtk_label_set_attributes(GTK_LABEL(detail_), smaller);
    pango_attr_list_unref(smaller);
    gtk_box_pack_start(GTK_BOX(box), detail_, FALSE, FALSE, 0);

    cancel_ = gtk_button_new_with_label("Cancel");
    gtk_widget_set_name(cancel_, "cancel");
    gtk_widget_set_halign(cancel_, GTK_ALIGN_END);
    gtk_widget_set_margin_top(cancel_, 8);
    gtk_box_pack_start(GTK_BOX(box), cancel_, FALSE, FALSE, 0);

    gtk_container_add(GTK_CONTAINER(window_), box);
    gtk_widget_show_all(box);

    // Return activates the window's default widget: Cancel.
    gtk_widget_set_can_default(cancel_, TRUE);
    gtk_window_set_default(GTK_WINDOW(window_), cancel_);
    gtk_widget_grab_focus(cancel_);

    g_signal_connect(cancel_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer window) {
                       gtk_widget_destroy(GTK_WIDGET(window));
                     }),
                     window_);
    // Every way of closing ends in "destroy", so onClose runs once per close.
    destroyHandler_ = g_signal_connect(window_, "destroy", G_CALLBACK(onDestroy), this);

    // Shown on the first idle turn, so that what the program sets up right
    // after creation (the splash above all) is in place when it is centred.
    showId_ = g_idle_add(
        [](gpointer data) -> gboolean {
          auto* self = static_cast<GtkDownloadView*>(data);
          self->showId_ = 0;
          gtk_widget_show(self->window_);
          return G_SOURCE_REMOVE;
        },
        this);
  }

  ~GtkDownloadView() override {
    releaseSources();
    if (window_) {
      g_signal_handler_disconnect(window_, destroyHandler_);
      gtk_widget_destroy(window_);
      window_ = nullptr;
    }
  }

  void setIndeterminate(bool indeterminate) override {
    indeterminate_ = indeterminate;
    updatePulse();
    scheduleRefresh();
  }
  void setMaxValue(double max) override {
    max_ = max;
    scheduleRefresh();
  }
  double maxValue() const override { return max_; }
  void setDoubleValue(double value) override {
    value_ = value;
    scheduleRefresh();
  }
  void incrementBy(double delta) override {
    value_ += delta;
    scheduleRefresh();
  }
  void startAnimation() override {
    animating_ = true;
    updatePulse();
  }
  void stopAnimation() override {
    animating_ = false;
    updatePulse();
  }

  void setStatusText(const std::string& text) override {
    if (text == statusText_) return;
    statusText_ = text;
    scheduleRefresh();
  }
  void setStatusColor(TextColor color) override {
    if (!window_) return;
    GtkStyleContext* style = gtk_widget_get_style_context(status_);
    GtkLabel* label = GTK_LABEL(status_);
    // A failure is read whole, on as many lines as it takes; progress stays
    // on one line so the window does not jump while it downloads.
    bool failure = color == TextColor::Red;
    if (failure)
      gtk_style_context_add_class(style, "error");
    else
      gtk_style_context_remove_class(style, "error");
    gtk_label_set_single_line_mode(label, !failure);
    gtk_label_set_ellipsize(label, failure ? PANGO_ELLIPSIZE_NONE : PANGO_ELLIPSIZE_END);
    gtk_label_set_line_wrap(label, failure);
  }
  bool waitsForUser() const override { return true; }

  void setDetailText(const std::string& text) override {
    note_ = text;
    scheduleRefresh();
  }

  void setTransferred(int64_t received, int64_t total) override {
    note_.clear();
    received_ = received;
    total_ = total;
    rate_.add(received, monotonicSeconds());
    scheduleRefresh();
  }

  void setCancelEnabled(bool enabled) override {
    if (window_) gtk_widget_set_sensitive(cancel_, enabled);
  }

  void setSplashImage(const std::string& path, double width, double height) override {
    if (!window_) return;
    int w = width > 0 ? static_cast<int>(std::lround(width)) : -1;
    int h = height > 0 ? static_cast<int>(std::lround(height)) : -1;
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_scale(path.c_str(), w, h, TRUE, &error);
    if (!pixbuf) {
      // No splash is no reason to stop the download.
      g_clear_error(&error);
      gtk_image_clear(GTK_IMAGE(image_));
      return;
    }
    gtk_image_set_from_pixbuf(GTK_IMAGE(image_), pixbuf);
    g_object_unref(pixbuf);
  }

  void displayIfNeeded() override {
    // Widgets follow the model once per frame; here the window only has to
    // be on screen.
    if (showId_) {
      g_source_remove(showId_);
      showId_ = 0;
      gtk_widget_show(window_);
    }
  }

  void close() override {
    if (window_) gtk_widget_destroy(window_);
  }

 private:
  static void onDestroy(GtkWidget*, gpointer data) {
    auto* self = static_cast<GtkDownloadView*>(data);
    self->releaseSources();
    self->window_ = self->image_ = self->bar_ = self->status_ = self->detail_ = self->cancel_ =
        nullptr;
    // A copy: the callback may well delete this view.
    std::function<void()> onClose = self->onClose_;
    if (onClose) onClose();
  }

  void releaseSources() {
    if (showId_) g_source_remove(showId_);
    if (pulseId_) g_source_remove(pulseId_);
    if (tickId_ && window_) gtk_widget_remove_tick_callback(window_, tickId_);
    showId_ = pulseId_ = tickId_ = 0;
  }

  void scheduleRefresh() {
    if (!window_ || tickId_) return;
    tickId_ = gtk_widget_add_tick_callback(
        window_,
        [](GtkWidget*, GdkFrameClock*, gpointer data) -> gboolean {
          auto* self = static_cast<GtkDownloadView*>(data);
          self->tickId_ = 0;
          self->refresh();
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
  }

  // Pushes the model to the widgets, touching only what changed.
  void refresh() {
    if (!window_) return;
    if (!(indeterminate_ && pulseId_)) {
      double fraction = 0.0;
      if (!indeterminate_ && max_ > 0 && std::isfinite(value_ / max_))
        fraction = std::clamp(value_ / max_, 0.0, 1.0);
      if (fraction != shownFraction_) {
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), fraction);
        shownFraction_ = fraction;
      }
    }
    if (statusText_ != shownStatus_) {
      gtk_label_set_text(GTK_LABEL(status_), statusText_.c_str());
      shownStatus_ = statusText_;
    }
    std::string detail = !note_.empty()   ? note_
                         : received_ >= 0 ? formatTransferDetail(received_, total_, rate_.bytesPerSecond())
                                          : "";
    if (detail != shownDetail_) {
      gtk_label_set_text(GTK_LABEL(detail_), detail.c_str());
      shownDetail_ = detail;
    }
  }

  void updatePulse() {
    bool pulse = window_ && indeterminate_ && animating_;
    if (pulse && !pulseId_) {
      pulseId_ = g_timeout_add(
          kPulseIntervalMs,
          [](gpointer data) -> gboolean {
            gtk_progress_bar_pulse(GTK_PROGRESS_BAR(static_cast<GtkDownloadView*>(data)->bar_));
            return G_SOURCE_CONTINUE;
          },
          this);
    } else if (!pulse && pulseId_) {
      g_source_remove(pulseId_);
      pulseId_ = 0;
      shownFraction_ = -1;  // leave activity mode on the next frame
      scheduleRefresh();
    }
  }

  std::function<void()> onClose_;
  GtkWidget* window_ = nullptr;
  GtkWidget* image_ = nullptr;
  GtkWidget* bar_ = nullptr;
  GtkWidget* status_ = nullptr;
  GtkWidget* detail_ = nullptr;
  GtkWidget* cancel_ = nullptr;
  gulong destroyHandler_ = 0;
  guint showId_ = 0;
  guint pulseId_ = 0;
  guint tickId_ = 0;

  // The model, updated on every call.
  bool indeterminate_ = false;
  bool animating_ = false;
  double max_ = 100.0;
  double value_ = 0.0;
  int64_t received_ = -1;  // no transfer yet: no detail line
  int64_t total_ = -1;
  RateMeter rate_;
  std::string statusText_;
  std::string note_;  // shown instead of the transfer's figures while set

  // What the widgets show.
  double shownFraction_ = -1.0;
  std::string shownStatus_;
  std::string shownDetail_;
};

}  // namespace

std::unique_ptr<DownloadView> createGtkDownloadView(const std::string& title,
                                                    std::function<void()> onClose) {
  if (!openDisplay()) return nullptr;
  return std::make_unique<GtkDownloadView>(title, std::move(onClose));
}

}  // namespace platform
