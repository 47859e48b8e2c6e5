// The download window on GTK 3; the only file that sees the toolkit.
#include <atk-bridge.h>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif
#include <libintl.h>
#include <locale.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "platform/quantities.h"
#include "window/download_view.h"
#include "window/message.h"

namespace window {

using platform::formatByteCount;
using platform::monotonicSeconds;

namespace {

constexpr guint kPulseIntervalMs = 100;
constexpr int kContentWidth = 400;
constexpr int kMargin = 20;
// Lines kept for the status and for the detail under it, whatever they say:
// the window is as high from the start as its longest failure needs, so that
// it never grows off a small screen. What is longer ends in an ellipsis.
constexpr int kStatusLines = 2;
constexpr int kDetailLines = 3;
// A quick cache hit is over before this: no window flashes up for it.
constexpr guint kMapDelayMs = 400;
// The usual minimum contrast for text.
constexpr double kMinContrast = 4.5;
// A screen reader speaks every change of a text: at most four a second.
constexpr double kTextInterval = 0.25;
constexpr char kTextDomain[] = INSTALLER_TEXT_DOMAIN;

// The window speaks the user's language and writes numbers their way, while
// the process stays in the C locale: standard error, the system log and
// whatever else formats a number keep theirs. Null: English, C numbers.
locale_t gUserLocale = nullptr;
bool gTranslated = false;

void initTranslations(const std::string& localeDir) {
  static bool done = false;
  if (done) return;
  done = true;
  // From LC_ALL, LC_*, LANG; an unknown or missing locale leaves English.
  gUserLocale = newlocale(LC_ALL_MASK, "", nullptr);
  // Only the bundle's own catalogues, never one of the system's.
  gTranslated = gUserLocale && !localeDir.empty() && bindtextdomain(kTextDomain, localeDir.c_str()) &&
                bind_textdomain_codeset(kTextDomain, "UTF-8");
  if (!gUserLocale) return;
  // Without a catalogue for the user's language the words stay English, and
  // so do the numbers: no French sizes among English words. A catalogue
  // always translates "" into its header.
  locale_t previous = uselocale(gUserLocale);
  bool covered = gTranslated && *dgettext(kTextDomain, "") != '\0';
  uselocale(previous);
  if (!covered) {
    freelocale(gUserLocale);
    gUserLocale = nullptr;
    gTranslated = false;
  }
}

// Runs a scope in the user's locale (this thread only).
class InUserLocale {
 public:
  InUserLocale() : previous_(gUserLocale ? uselocale(gUserLocale) : nullptr) {}
  ~InUserLocale() {
    if (previous_) uselocale(previous_);
  }
  InUserLocale(const InUserLocale&) = delete;
  InUserLocale& operator=(const InUserLocale&) = delete;

 private:
  locale_t previous_;
};

std::string tr(const char* english) {
  if (!gTranslated) return english;
  InUserLocale scope;
  return dgettext(kTextDomain, english);
}

std::string trPlural(const char* one, const char* many, long n) {
  if (!gTranslated) return n == 1 ? one : many;
  InUserLocale scope;
  return dngettext(kTextDomain, one, many, static_cast<unsigned long>(n));
}

std::string formatSize(int64_t bytes) {
  InUserLocale scope;  // the decimal separator and the unit's words
  return formatByteCount(bytes);
}

// A message in the user's language: the catalogue's ids are the English
// words, with the numbers written the user's way in the translation's places.
std::string localized(const Message& message) { return inWords(message, tr, formatSize); }

std::string timeLeftText(const TimeLeft& left) {
  switch (left.unit) {
    case TimeLeft::FewSeconds: return tr("A few seconds left");
    case TimeLeft::UnderAMinute: return tr("Less than a minute left");
    case TimeLeft::Minutes:
      return fillPattern(trPlural("About %1$s minute left", "About %1$s minutes left", left.count),
                         {std::to_string(left.count)});
    case TimeLeft::Hours: break;
  }
  return fillPattern(trPlural("About %1$s hour left", "About %1$s hours left", left.count),
                     {std::to_string(left.count)});
}

// "1,5 MB von 25,2 MB, 988,7 kB/s — Noch etwa 2 Minuten" in German.
std::string transferText(const Progress& p) {
  std::string text = p.total >= 0 ? fillPattern(tr("%1$s of %2$s"), {formatSize(p.received), formatSize(p.total)})
                                  : formatSize(p.received);
  if (p.bytesPerSecond >= 0 && std::isfinite(p.bytesPerSecond))
    text += ", " + fillPattern(tr("%1$s/s"), {formatSize(static_cast<int64_t>(std::llround(p.bytesPerSecond)))});
  if (p.left) text += kTimeLeftSeparator + timeLeftText(*p.left);
  return text;
}

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
  // The theme's dim style, only less faint: at its usual 0.55 the detail
  // line is 3.15:1 on a light background; 0.75 keeps 4.5:1 light, dark and
  // in high contrast.
  gtk_css_provider_load_from_data(provider, "#detail.dim-label { opacity: 0.75; }", -1, nullptr);
  gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

double luminance(const GdkRGBA& c) {
  auto linear = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
  return 0.2126 * linear(c.red) + 0.7152 * linear(c.green) + 0.0722 * linear(c.blue);
}

double contrast(const GdkRGBA& a, const GdkRGBA& b) {
  double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The theme's error colour, moved towards its text colour just as far as it
// takes to be read on its background: a dark theme's error red is often too
// dark for its grey.
void readableErrorColor(GtkWidget* label) {
  GtkStyleContext* style = gtk_widget_get_style_context(label);
  GdkRGBA error, text, background;
  gtk_style_context_get_color(style, gtk_style_context_get_state(style), &error);
  if (!gtk_style_context_lookup_color(style, "theme_fg_color", &text) ||
      !gtk_style_context_lookup_color(style, "theme_bg_color", &background))
    return;
  GdkRGBA mixed = error;
  for (int step = 1; step <= 10 && contrast(mixed, background) < kMinContrast; ++step) {
    double t = step / 10.0;
    mixed.red = error.red * (1 - t) + text.red * t;
    mixed.green = error.green * (1 - t) + text.green * t;
    mixed.blue = error.blue * (1 - t) + text.blue * t;
  }
  if (gdk_rgba_equal(&mixed, &error)) return;
  gchar* colour = gdk_rgba_to_string(&mixed);
  std::string css = std::string("label { color: ") + colour + "; }";
  g_free(colour);
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr);
  gtk_style_context_add_provider(style, GTK_STYLE_PROVIDER(provider), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

// Keeps room for `lines` lines of the label's font, anew when the font
// changes (a larger text size): the window's height is settled at the start.
void reserveLines(GtkWidget* label, gpointer lines) {
  std::string sample = "Xg";
  for (int i = 1; i < GPOINTER_TO_INT(lines); ++i) sample += "\nXg";
  PangoLayout* layout = gtk_widget_create_pango_layout(label, sample.c_str());
  pango_layout_set_attributes(layout, gtk_label_get_attributes(GTK_LABEL(label)));
  int width = 0, height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  g_object_unref(layout);
  gtk_widget_set_size_request(label, -1, height);
}

// Wraps within the column and ends in an ellipsis after `lines` lines.
GtkWidget* makeTextLabel(const char* name, int lines, PangoAttrList* attributes = nullptr) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_widget_set_name(label, name);
  if (attributes) gtk_label_set_attributes(GTK_LABEL(label), attributes);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  // A word longer than the column (a long address) breaks too.
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  gtk_label_set_lines(GTK_LABEL(label), lines);
  // Long texts wrap inside the column instead of widening the window.
  gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_hexpand(label, TRUE);
  reserveLines(label, GINT_TO_POINTER(lines));
  g_signal_connect(label, "style-updated", G_CALLBACK(reserveLines), GINT_TO_POINTER(lines));
  return label;
}

void relate(GtkWidget* from, AtkRelationType type, GtkWidget* to, AtkRelationType back) {
  AtkObject* a = gtk_widget_get_accessible(from);
  AtkObject* b = gtk_widget_get_accessible(to);
  atk_object_add_relationship(a, type, b);
  atk_object_add_relationship(b, back, a);
}

class GtkDownloadView final : public DownloadView {
 public:
  GtkDownloadView(const std::string& title, std::function<void()> onClose)
      : onClose_(std::move(onClose)) {
    installStyleOnce();
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
    // Placing by the pointer needs one; a compositor without a seat has none.
    if (gdk_display_get_default_seat(gdk_display_get_default()))
      gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    g_object_set(box, "margin", kMargin, nullptr);
    gtk_widget_set_size_request(box, kContentWidth, -1);

    image_ = gtk_image_new();
    gtk_widget_set_name(image_, "splash");
    // Without a splash the window has no room for one.
    gtk_widget_set_no_show_all(image_, TRUE);
    atk_object_set_name(gtk_widget_get_accessible(image_), title.c_str());
    g_signal_connect_swapped(image_, "notify::scale-factor", G_CALLBACK(+[](GtkDownloadView* self) {
                               self->loadSplash();
                             }),
                             this);
    gtk_box_pack_start(GTK_BOX(box), image_, FALSE, FALSE, 0);

    bar_ = gtk_progress_bar_new();
    gtk_widget_set_name(bar_, "progress");
    gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(bar_), 0.05);
    gtk_widget_set_margin_top(bar_, 8);
    atk_object_set_name(gtk_widget_get_accessible(bar_), tr("Download progress").c_str());
    gtk_box_pack_start(GTK_BOX(box), bar_, FALSE, FALSE, 0);

    // The two texts under the bar; on a failure they become an alert.
    texts_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_box_pack_start(GTK_BOX(box), texts_, FALSE, FALSE, 0);
    status_ = makeTextLabel("status", kStatusLines);
    gtk_box_pack_start(GTK_BOX(texts_), status_, FALSE, FALSE, 0);

    PangoAttrList* smaller = pango_attr_list_new();
    pango_attr_list_insert(smaller, pango_attr_scale_new(PANGO_SCALE_SMALL));
    detail_ = makeTextLabel("detail", kDetailLines, smaller);
    pango_attr_list_unref(smaller);
    gtk_style_context_add_class(gtk_widget_get_style_context(detail_), "dim-label");
    gtk_box_pack_start(GTK_BOX(texts_), detail_, FALSE, FALSE, 0);
    relate(bar_, ATK_RELATION_LABELLED_BY, status_, ATK_RELATION_LABEL_FOR);
    relate(bar_, ATK_RELATION_DESCRIBED_BY, detail_, ATK_RELATION_DESCRIPTION_FOR);

    cancel_ = gtk_button_new_with_label(tr("Cancel").c_str());
    gtk_widget_set_name(cancel_, "cancel");
    gtk_widget_set_halign(cancel_, GTK_ALIGN_END);
    gtk_widget_set_margin_top(cancel_, 8);
    // A translation of any length stays within the window.
    GtkLabel* cancelLabel = GTK_LABEL(gtk_bin_get_child(GTK_BIN(cancel_)));
    gtk_label_set_ellipsize(cancelLabel, PANGO_ELLIPSIZE_END);
    gtk_label_set_max_width_chars(cancelLabel, 30);
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
    // Escape does what Cancel does, and nothing while Cancel is disabled.
    g_signal_connect(window_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* event, gpointer data) -> gboolean {
                       auto* self = static_cast<GtkDownloadView*>(data);
                       if (event->keyval != GDK_KEY_Escape) return FALSE;
                       if (gtk_widget_is_sensitive(self->cancel_)) gtk_button_clicked(GTK_BUTTON(self->cancel_));
                       return TRUE;
                     }),
                     this);
    // The default button's focus ring shows from the start, not only after
    // the first key.
    g_signal_connect(window_, "map-event", G_CALLBACK(+[](GtkWidget* window, GdkEvent*, gpointer) -> gboolean {
                       gtk_window_set_focus_visible(GTK_WINDOW(window), TRUE);
                       return FALSE;
                     }),
                     nullptr);
#ifdef GDK_WINDOWING_X11
    // Once on screen it asks for the keyboard, so that keys reach Cancel at
    // once: X without a window manager gives it to nobody. (A Wayland
    // compositor focuses a new window itself.)
    if (GDK_IS_X11_DISPLAY(gtk_widget_get_display(window_)))
      g_signal_connect(window_, "map-event", G_CALLBACK(+[](GtkWidget* window, GdkEvent*, gpointer) -> gboolean {
                         gtk_window_present(GTK_WINDOW(window));
                         return FALSE;
                       }),
                       nullptr);
#endif
    // Every way of closing ends in "destroy", so onClose runs once per close.
    destroyHandler_ = g_signal_connect(window_, "destroy", G_CALLBACK(onDestroy), this);

    // Shown only once the cache check or the download has taken a while: a
    // quick cache hit closes it before, unseen.
    showId_ = g_timeout_add(
        kMapDelayMs,
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
      destroyWindow();
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

  void setStatusText(const Message& text) override {
    if (text == statusText_) return;
    statusText_ = text;
    scheduleRefresh();
  }
  // Red is a failure: nothing is left to cancel, so the button closes.
  void setStatusColor(TextColor color) override {
    if (!window_ || failed_ == (color == TextColor::Red)) return;
    failed_ = color == TextColor::Red;
    GtkStyleContext* style = gtk_widget_get_style_context(status_);
    if (failed_) {
      gtk_style_context_add_class(style, "error");
      readableErrorColor(status_);
      gtk_button_set_label(GTK_BUTTON(cancel_), tr("Close").c_str());
      gtk_widget_set_sensitive(cancel_, TRUE);
    } else {
      gtk_style_context_remove_class(style, "error");
    }
    scheduleRefresh();
  }
  bool waitsForUser() const override { return true; }

  void setDetailText(const Message& text) override {
    note_ = text;
    scheduleRefresh();
  }

  void setTransferred(const Progress& progress) override {
    note_ = {};
    progress_ = progress;
    scheduleRefresh();
  }

  void setCancelEnabled(bool enabled) override {
    if (window_) gtk_widget_set_sensitive(cancel_, enabled);
  }

  void setSplashImage(const std::string& path, double width, double height) override {
    splashPath_ = path;
    splashWidth_ = width;
    splashHeight_ = height;
    loadSplash();
  }

  // Widgets follow the model once per frame, and the window shows on its
  // own once the wait is long enough to need it.
  void displayIfNeeded() override {}

  void close() override {
    if (window_) destroyWindow();
  }

 private:
  static void onDestroy(GtkWidget*, gpointer data) {
    auto* self = static_cast<GtkDownloadView*>(data);
    self->releaseSources();
    self->window_ = self->image_ = self->bar_ = self->texts_ = self->status_ = self->detail_ = self->cancel_ =
        nullptr;
    // A copy: the callback may well delete this view.
    std::function<void()> onClose = self->onClose_;
    if (onClose) onClose();
  }

  void destroyWindow() {
    gtk_widget_destroy(window_);
    // The loop may not turn again before the program waits for the agent:
    // the window must be off the screen now, not frozen on it, and off the
    // accessibility bus, where a screen reader would wait for its answers.
    gdk_display_flush(gdk_display_get_default());
    atk_bridge_adaptor_cleanup();
  }

  // At the window's scale factor, so that a splash twice the size is drawn
  // pixel for pixel on a 2x display.
  void loadSplash() {
    if (!window_ || splashPath_.empty()) return;
    int scale = gtk_widget_get_scale_factor(image_);
    int w = splashWidth_ > 0 ? static_cast<int>(std::lround(splashWidth_ * scale)) : -1;
    int h = splashHeight_ > 0 ? static_cast<int>(std::lround(splashHeight_ * scale)) : -1;
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_scale(splashPath_.c_str(), w, h, TRUE, &error);
    if (!pixbuf) {
      // No splash is no reason to stop the download.
      g_clear_error(&error);
      gtk_image_clear(GTK_IMAGE(image_));
      gtk_widget_hide(image_);
      return;
    }
    cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(pixbuf, scale, nullptr);
    gtk_image_set_from_surface(GTK_IMAGE(image_), surface);
    cairo_surface_destroy(surface);
    g_object_unref(pixbuf);
    gtk_widget_show(image_);
  }

  void releaseSources() {
    if (showId_) g_source_remove(showId_);
    if (pulseId_) g_source_remove(pulseId_);
    if (textId_) g_source_remove(textId_);
    if (tickId_ && window_) gtk_widget_remove_tick_callback(window_, tickId_);
    showId_ = pulseId_ = textId_ = tickId_ = 0;
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

  // Pushes the model to the widgets, touching only what changed. After a
  // failure the alert goes first: nothing else is said ahead of it.
  void refresh() {
    if (!window_) return;
    refreshTexts();
    if (!failed_ || alerting_) refreshBar();
  }

  void refreshBar() {
    if (indeterminate_ && pulseId_) return;
    double fraction = 0.0;
    if (failed_)  // stays where the transfer stopped, empty after a pulse: a failure is no finished download
      fraction = std::max(shownFraction_, 0.0);
    else if (!indeterminate_ && max_ > 0 && std::isfinite(value_ / max_))
      fraction = std::clamp(value_ / max_, 0.0, 1.0);
    if (fraction != shownFraction_) {
      gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), fraction);
      shownFraction_ = fraction;
    }
  }

  // The texts follow at most every kTextInterval; a change that comes
  // sooner waits for its turn.
  void refreshTexts() {
    if (textId_) return;
    double wait = lastTextChange_ + kTextInterval - monotonicSeconds();
    if (wait > 0) {
      textId_ = g_timeout_add(
          static_cast<guint>(std::ceil(wait * 1000.0)),
          [](gpointer data) -> gboolean {
            auto* self = static_cast<GtkDownloadView*>(data);
            self->textId_ = 0;
            self->refreshTexts();
            return G_SOURCE_REMOVE;
          },
          this);
      return;
    }
    std::string status = localized(statusText_);
    std::string detail = !note_.empty() ? localized(note_) : progress_ ? transferText(*progress_) : "";
    if (status == shownStatus_ && detail == shownDetail_ && failed_ == alerting_) return;
    lastTextChange_ = monotonicSeconds();
    if (status != shownStatus_) gtk_label_set_text(GTK_LABEL(status_), status.c_str());
    if (detail != shownDetail_) {
      gtk_label_set_text(GTK_LABEL(detail_), detail.c_str());
      // The figures and the time left, for a screen reader that reads the
      // bar; a failure's cause belongs to the alert.
      atk_object_set_description(gtk_widget_get_accessible(bar_), failed_ ? "" : detail.c_str());
    }
    shownStatus_ = status;
    shownDetail_ = detail;
    if (failed_ || alerting_) showAlert();
  }

  // A failure is an alert, named with its message and described by its
  // cause; it shows anew, so that a screen reader speaks it at once.
  void showAlert() {
    AtkObject* alert = gtk_widget_get_accessible(texts_);
    atk_object_set_role(alert, failed_ ? ATK_ROLE_ALERT : ATK_ROLE_FILLER);
    atk_object_set_name(alert, failed_ ? shownStatus_.c_str() : "");
    atk_object_set_description(alert, failed_ ? shownDetail_.c_str() : "");
    if (failed_ && !alerting_) {
      gtk_widget_hide(texts_);
      gtk_widget_show(texts_);
    }
    alerting_ = failed_;
    if (failed_) {
      atk_object_set_description(gtk_widget_get_accessible(bar_), "");
      refreshBar();
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
  GtkWidget* texts_ = nullptr;
  GtkWidget* status_ = nullptr;
  GtkWidget* detail_ = nullptr;
  GtkWidget* cancel_ = nullptr;
  gulong destroyHandler_ = 0;
  guint showId_ = 0;
  guint pulseId_ = 0;
  guint tickId_ = 0;
  guint textId_ = 0;

  // The model, updated on every call.
  bool indeterminate_ = false;
  bool animating_ = false;
  bool failed_ = false;
  double max_ = 100.0;
  double value_ = 0.0;
  std::optional<Progress> progress_;  // none before a transfer: no detail line
  Message statusText_;
  Message note_;  // shown instead of the transfer's figures while set
  std::string splashPath_;
  double splashWidth_ = 0, splashHeight_ = 0;

  // What the widgets show.
  double shownFraction_ = -1.0;
  std::string shownStatus_;
  std::string shownDetail_;
  bool alerting_ = false;
  double lastTextChange_ = -1e9;
};

}  // namespace

std::unique_ptr<DownloadView> createGtkDownloadView(const std::string& title, std::function<void()> onClose,
                                                    const std::string& localeDir) {
  if (!openDisplay()) return nullptr;
  initTranslations(localeDir);
  return std::make_unique<GtkDownloadView>(title, std::move(onClose));
}

}  // namespace window
