#include <fcntl.h>
#include <gtk/gtk.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/download_view.h"
#include "platform/event_loop.h"
#include "platform/transfer_text.h"
#include "test_util.h"

using platform::TextColor;
using testing_util::ScratchDir;

namespace {

// The toolkit can be initialised only once per process, so the case without
// a display runs in a child: this binary again, with this variable set.
constexpr char kNoDisplayProbe[] = "DOWNLOAD_VIEW_TEST_NO_DISPLAY_PROBE";

[[maybe_unused]] const bool probeDone = [] {
  if (!std::getenv(kNoDisplayProbe)) return false;
  if (platform::createGtkDownloadView("probe", [] {})) _exit(2);
  auto view = platform::createDownloadView("probe", [] {});
  if (!view) _exit(3);
  view->setStatusText("console view speaking");
  view.reset();
  _exit(0);
}();

bool waitFor(const std::function<bool()>& done, double seconds = 5) {
  platform::iterateUntil(done, seconds);
  return done();
}
void pump(double seconds) { platform::iterateUntil([] { return false; }, seconds); }
void settle() {  // runs whatever is ready now, without waiting
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

GtkWidget* toplevelTitled(const std::string& title) {
  GtkWidget* found = nullptr;
  GList* all = gtk_window_list_toplevels();
  for (GList* l = all; l; l = l->next) {
    const char* t = gtk_window_get_title(GTK_WINDOW(l->data));
    if (t && title == t) found = GTK_WIDGET(l->data);
  }
  g_list_free(all);
  return found;
}

std::vector<GtkWidget*> children(GtkWidget* container) {
  std::vector<GtkWidget*> out;
  GList* list = gtk_container_get_children(GTK_CONTAINER(container));
  for (GList* l = list; l; l = l->next) out.push_back(GTK_WIDGET(l->data));
  g_list_free(list);
  return out;
}

// A window, shown, with a count of onClose calls.
struct Window {
  explicit Window(const std::string& name) : title(name) {
    if (!std::getenv("DISPLAY")) return;
    view = platform::createGtkDownloadView(title, [this] { ++closes; });
    view->displayIfNeeded();
    widget = toplevelTitled(title);
    if (widget) waitFor([this] { return gtk_widget_get_mapped(widget); });
  }
  GtkWidget* operator[](const std::string& name) const {
    for (GtkWidget* child : children(gtk_bin_get_child(GTK_BIN(widget))))
      if (name == gtk_widget_get_name(child)) return child;
    return nullptr;
  }
  double fraction() const { return gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR((*this)["progress"])); }

  std::string title;
  std::unique_ptr<platform::DownloadView> view;
  GtkWidget* widget = nullptr;
  int closes = 0;
};

#define REQUIRE_WINDOW(w)                                                 \
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs a display (Xvfb)"; \
  ASSERT_TRUE((w).widget) << "no window although DISPLAY is set"

TEST(GtkDownloadView, WindowHasItsWidgetsAndKeepsItsSize) {
  Window w("Installer layout");
  REQUIRE_WINDOW(w);
  EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(w.widget)));
  std::vector<std::string> order;
  for (GtkWidget* child : children(gtk_bin_get_child(GTK_BIN(w.widget))))
    order.push_back(gtk_widget_get_name(child));
  EXPECT_EQ(order, (std::vector<std::string>{"splash", "progress", "status", "detail", "cancel"}));
  EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(w["splash"])), GTK_IMAGE_EMPTY);
  EXPECT_TRUE(GTK_IS_PROGRESS_BAR(w["progress"]));
  EXPECT_TRUE(gtk_label_get_single_line_mode(GTK_LABEL(w["status"])));
  EXPECT_TRUE(gtk_style_context_has_class(gtk_widget_get_style_context(w["detail"]), "dim-label"));
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(w["cancel"])), "Cancel");
  EXPECT_EQ(gtk_window_get_default_widget(GTK_WINDOW(w.widget)), w["cancel"]);

  // A long status ellipsizes instead of widening the window.
  int width = gtk_widget_get_allocated_width(w.widget);
  w.view->setStatusText(std::string(400, 'x'));
  pump(0.3);
  EXPECT_EQ(gtk_widget_get_allocated_width(w.widget), width);
}

TEST(GtkDownloadView, WidgetsFollowTheModel) {
  Window w("Installer progress");
  REQUIRE_WINDOW(w);
  w.view->setMaxValue(200);
  w.view->incrementBy(30);
  w.view->incrementBy(20);
  EXPECT_TRUE(waitFor([&] { return w.fraction() == 0.25; })) << w.fraction();
  w.view->setDoubleValue(500);
  EXPECT_TRUE(waitFor([&] { return w.fraction() == 1.0; })) << w.fraction();
  EXPECT_EQ(w.view->maxValue(), 200);  // only the bar is clamped

  const std::string markup = "<b>Error</b> &amp; more";
  w.view->setStatusText(markup);
  w.view->setTransferred(12345678, 45600000);
  GtkLabel* status = GTK_LABEL(w["status"]);
  GtkLabel* detail = GTK_LABEL(w["detail"]);
  EXPECT_TRUE(waitFor([&] { return gtk_label_get_text(status) == markup; })) << gtk_label_get_text(status);
  EXPECT_EQ(std::string(gtk_label_get_text(detail)), "12.3 MB of 45.6 MB");

  GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(status));
  GdkRGBA colour;
  w.view->setStatusColor(TextColor::Red);
  EXPECT_TRUE(gtk_style_context_has_class(style, "error"));
  gtk_style_context_get_color(style, gtk_style_context_get_state(style), &colour);
  EXPECT_GT(colour.red - colour.green, 0.5);
  w.view->setStatusColor(TextColor::Normal);
  EXPECT_FALSE(gtk_style_context_has_class(style, "error"));
}

TEST(GtkDownloadView, IndeterminateBarPulsesOnlyWhileAnimated) {
  Window w("Installer pulse");
  REQUIRE_WINDOW(w);
  GtkWidget* bar = w["progress"];
  auto look = [&] {
    int width = gtk_widget_get_allocated_width(bar), height = gtk_widget_get_allocated_height(bar);
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(bar, cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    std::string pixels(reinterpret_cast<char*>(cairo_image_surface_get_data(surface)),
                       cairo_image_surface_get_stride(surface) * height);
    cairo_surface_destroy(surface);
    return pixels;
  };
  auto moves = [&] {
    std::string before = look();
    pump(0.4);
    return look() != before;
  };
  w.view->setIndeterminate(true);
  EXPECT_FALSE(moves());
  w.view->startAnimation();
  EXPECT_TRUE(moves());
  w.view->stopAnimation();
  pump(0.3);  // the last pulse's glide
  EXPECT_FALSE(moves());
  w.view->startAnimation();
  w.view->setIndeterminate(false);
  w.view->setDoubleValue(40);
  pump(0.3);
  EXPECT_FALSE(moves());
  EXPECT_DOUBLE_EQ(w.fraction(), 0.4);
}

TEST(GtkDownloadView, EveryWayOfClosingCallsOnCloseOnce) {
  const std::vector<std::pair<const char*, std::function<void(Window&)>>> ways = {
      {"cancel button", [](Window& w) { gtk_button_clicked(GTK_BUTTON(w["cancel"])); }},
      {"return key", [](Window& w) { gtk_window_activate_default(GTK_WINDOW(w.widget)); }},
      {"title bar close", [](Window& w) { gtk_window_close(GTK_WINDOW(w.widget)); }},
      {"close twice",
       [](Window& w) {
         w.view->close();
         w.view->close();
       }},
  };
  for (const auto& [how, closeIt] : ways) {
    SCOPED_TRACE(how);
    Window w(std::string("Installer closing by ") + how);
    REQUIRE_WINDOW(w);
    closeIt(w);
    EXPECT_TRUE(waitFor([&] { return w.closes > 0; }));
    pump(0.2);
    EXPECT_EQ(toplevelTitled(w.title), nullptr);
    w.view->close();
    w.view.reset();
    EXPECT_EQ(w.closes, 1);
  }
}

TEST(GtkDownloadView, DestroyingTheViewDoesNotCallOnClose) {
  Window w("Installer destroyed");
  REQUIRE_WINDOW(w);
  // A pulse and a refresh left pending must not outlive the view.
  w.view->setIndeterminate(true);
  w.view->startAnimation();
  w.view->setTransferred(5, 10);
  w.view.reset();
  pump(0.3);
  EXPECT_EQ(w.closes, 0);
  EXPECT_EQ(toplevelTitled(w.title), nullptr);
}

TEST(GtkDownloadView, SplashIsScaledIntoTheBoxKeepingItsShape) {
  Window w("Installer splash");
  REQUIRE_WINDOW(w);
  ScratchDir dir;
  GdkPixbuf* wide = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 800, 400);
  gdk_pixbuf_fill(wide, 0x3366ccff);
  ASSERT_TRUE(gdk_pixbuf_save(wide, (dir / "splash.png").c_str(), "png", nullptr, nullptr));
  g_object_unref(wide);
  testing_util::writeFile(dir / "broken.png", "not an image");

  GtkImage* image = GTK_IMAGE(w["splash"]);
  w.view->setSplashImage(dir / "splash.png", 400, 400);
  GdkPixbuf* shown = gtk_image_get_pixbuf(image);
  ASSERT_TRUE(shown);
  EXPECT_EQ(gdk_pixbuf_get_width(shown), 400);
  EXPECT_EQ(gdk_pixbuf_get_height(shown), 200);
  for (const char* bad : {"missing.png", "broken.png"}) {
    w.view->setSplashImage(dir / bad, 400, 400);
    EXPECT_EQ(gtk_image_get_storage_type(image), GTK_IMAGE_EMPTY) << bad;
  }
  EXPECT_NE(toplevelTitled(w.title), nullptr);
}

TEST(DownloadViewFactory, GivesTheConsoleViewWithoutADisplay) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self);
  ASSERT_GT(n, 0);
  testing_util::ProcessOptions options;
  // GDK_BACKEND: a Wayland session on the machine must not count as a display.
  options.env = {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt},
                 {"GDK_BACKEND", "x11"}, {kNoDisplayProbe, "1"}};
  auto result = testing_util::runProcess({std::string(self, n)}, options);
  EXPECT_EQ(result.exitStatus, 0) << "2: a window without a display, 3: no view at all";
  EXPECT_NE(result.err.find("console view speaking\n"), std::string::npos) << result.err;
}

// Standard error into a file (not a terminal) while in scope.
class CapturedStderr {
 public:
  CapturedStderr() : saved_(dup(STDERR_FILENO)) {
    int fd = open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~CapturedStderr() {
    dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  std::vector<std::string> lines() const { return testing_util::lines(testing_util::readFile(dir_ / "err")); }

 private:
  ScratchDir dir_;
  int saved_;
};

std::string percentText(int64_t received, int64_t total) {
  return platform::kDownloadingPrefix + std::to_string(received * 100 / total) + "%";
}

TEST(ConsoleDownloadView, LogsOneLinePerTenthWithoutFlooding) {
  CapturedStderr err;
  int closes = 0;
  auto view = platform::createConsoleDownloadView([&] { ++closes; });
  const int64_t total = 10000000;
  for (int64_t received = 0; received <= total; received += 1000) {
    // In the controller's order: bytes first, then the text that goes with them.
    view->setTransferred(received, total);
    view->setStatusText(percentText(received, total));
    settle();
  }
  view->close();
  std::vector<std::string> lines = err.lines();
  ASSERT_EQ(lines.size(), 11u) << testing::PrintToString(lines);
  for (int64_t i = 0; i <= 10; ++i) {
    std::string expected = percentText(i * total / 10, total) + " (" +
                           platform::formatByteCount(i * total / 10) + " of 10.0 MB";
    EXPECT_EQ(lines[i].rfind(expected, 0), 0u) << lines[i];
  }
  EXPECT_EQ(closes, 1);
}

TEST(ConsoleDownloadView, StatusLinesEndTheProgressLine) {
  CapturedStderr err;
  auto view = platform::createConsoleDownloadView([] {});
  view->setStatusText("Connecting");
  view->setStatusText("Connecting");
  for (int64_t received = 0; received <= 25000000; received += 100000) {
    view->setTransferred(received, -1);  // unknown length: a line per 10 MB
    settle();
  }
  view->setStatusText("Initializing the installer");
  view.reset();
  std::vector<std::string> lines = err.lines();
  ASSERT_EQ(lines.size(), 6u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "Connecting");
  EXPECT_EQ(lines[1], "0 bytes");
  EXPECT_EQ(lines[2].rfind("10.0 MB", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("20.0 MB", 0), 0u) << lines[3];
  EXPECT_EQ(lines[4].rfind("25.0 MB", 0), 0u) << lines[4];  // where it ended
  EXPECT_EQ(lines[5], "Initializing the installer");
}

TEST(ConsoleDownloadView, CtrlCActsAsCancel) {
  CapturedStderr err;
  int closes = 0;
  auto view = platform::createConsoleDownloadView([&] { ++closes; });
  raise(SIGINT);
  EXPECT_TRUE(waitFor([&] { return closes > 0; }));
  EXPECT_EQ(closes, 1);
  view.reset();
  struct sigaction now;  // gone with the view: Ctrl-C ends the program again
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST(TransferText, ByteCountBoundaries) {
  EXPECT_EQ(platform::formatByteCount(999), "999 bytes");
  EXPECT_EQ(platform::formatByteCount(1000), "1.0 kB");
  EXPECT_EQ(platform::formatByteCount(1049), "1.0 kB");
  EXPECT_EQ(platform::formatByteCount(1050), "1.1 kB");
  EXPECT_EQ(platform::formatByteCount(999949), "999.9 kB");
  EXPECT_EQ(platform::formatByteCount(999950), "1.0 MB");
  EXPECT_EQ(platform::formatByteCount(12345678), "12.3 MB");
  EXPECT_EQ(platform::formatByteCount(999950000), "1.0 GB");
  EXPECT_EQ(platform::formatByteCount(1234567890123), "1234.6 GB");
  EXPECT_EQ(platform::formatByteCount(-5), "0 bytes");
}

TEST(TransferText, DetailLeavesOutWhatIsUnknown) {
  EXPECT_EQ(platform::formatTransferDetail(12300000, 45600000, 3200000), "12.3 MB of 45.6 MB, 3.2 MB/s");
  EXPECT_EQ(platform::formatTransferDetail(12300000, -1, 3200000), "12.3 MB, 3.2 MB/s");
  EXPECT_EQ(platform::formatTransferDetail(12300000, 45600000, -1), "12.3 MB of 45.6 MB");
  EXPECT_EQ(platform::formatTransferDetail(0, 0, 0), "0 bytes of 0 bytes, 0 bytes/s");
}

TEST(RateMeter, MeasuresOverARecentWindow) {
  platform::RateMeter meter;
  EXPECT_LT(meter.bytesPerSecond(), 0);
  meter.add(0, 100.0);
  meter.add(1000, 100.1);
  EXPECT_LT(meter.bytesPerSecond(), 0) << "samples too close together";
  meter.add(1000000, 101.0);
  EXPECT_DOUBLE_EQ(meter.bytesPerSecond(), 1000000);

  // After a few seconds at a new pace only the new pace counts.
  int64_t bytes = 1000000;
  for (double t = 101.5; t <= 106.0; t += 0.5) meter.add(bytes += 2500000, t);
  EXPECT_DOUBLE_EQ(meter.bytesPerSecond(), 5000000);

  // A flood of tiny pieces is still measured over time, not over pieces.
  platform::RateMeter flood;
  for (int i = 0; i <= 10000; ++i) flood.add(i * 100, 5.0 + i * 0.00005);
  EXPECT_NEAR(flood.bytesPerSecond(), 2000000, 20000);
  flood.add(0, 6.0);  // a restarted transfer starts a new measurement
  EXPECT_LT(flood.bytesPerSecond(), 0);
}

}  // namespace
