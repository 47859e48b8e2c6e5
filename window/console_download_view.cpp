// The download "window" without a display: progress and status on standard
// error, Ctrl-C for the Cancel button.
#include <glib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "platform/quantities.h"
#include "window/download_view.h"
#include "window/message.h"

namespace window {

using platform::monotonicSeconds;

namespace {

constexpr double kRedrawInterval = 0.1;         // in-place line on a terminal
constexpr int64_t kUnknownLengthStep = 10000000;  // a log line per 10 MB

void writeErr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Asked at each redraw: the terminal may have been resized since.
int terminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// At most `columns` characters (the line is English: one column each), the
// last an ellipsis when something had to go.
std::string cutToColumns(const std::string& text, long columns) {
  if (columns < 2 || g_utf8_strlen(text.c_str(), -1) <= columns) return text;
  const char* end = g_utf8_offset_to_pointer(text.c_str(), columns - 1);
  return std::string(text.c_str(), end) + "\u2026";
}

class ConsoleDownloadView final : public DownloadView {
 public:
  explicit ConsoleDownloadView(std::function<void()> onClose)
      : onClose_(std::move(onClose)), terminal_(isatty(STDERR_FILENO) == 1) {}

  ~ConsoleDownloadView() override {
    removeSources();
    if (!closed_) finishProgress();
  }

  void setIndeterminate(bool) override {}
  void setMaxValue(double max) override { max_ = max; }
  double maxValue() const override { return max_; }
  void setDoubleValue(double) override {}
  void incrementBy(double) override {}
  void startAnimation() override {}
  void stopAnimation() override {}

  void setStatusText(const Message& text) override {
    if (closed_ || text == status_) return;
    if (text.id == Message::Id::Downloading) {
      status_ = text;
      // Part of the progress line; a log only shows it with the next step.
      if (terminal_) {
        pending_ = true;
        scheduleWrite();
      }
      return;
    }
    finishProgress();  // the last progress line still under the old text
    status_ = text;
    if (!text.empty()) writeErr(english(text) + "\n");
  }

  // The cause of a failure, which the window shows under it, is in the
  // system log line the console already printed.
  void setStatusColor(TextColor color) override { failed_ = color == TextColor::Red; }
  bool waitsForUser() const override { return false; }

  void setTransferred(const Progress& progress) override {
    if (closed_) return;
    if (progress.received < progress_.received) {
      // A new transfer: its own line and steps.
      finishProgress();
      lastStep_ = -1;
    }
    progress_ = progress;
    int64_t received = progress.received, total = progress.total;
    pending_ = true;
    if (terminal_) {
      scheduleWrite();
      return;
    }
    int64_t step = total > 0 ? std::min<int64_t>(10, received * 10 / total)
                             : received / kUnknownLengthStep;
    if (step != lastStep_) {
      lastStep_ = step;
      scheduleWrite();
    }
  }

  void setDetailText(const Message& text) override {
    if (closed_ || failed_ || text.empty()) return;
    finishProgress();
    writeErr(english(text) + "\n");
  }

  void setCancelEnabled(bool) override {}
  void setSplashImage(const std::string&, double, double) override {}
  void displayIfNeeded() override {}

  void close() override {
    if (closed_) return;
    closed_ = true;
    removeSources();
    finishProgress();
    // A copy: the callback may well delete this view.
    std::function<void()> onClose = onClose_;
    if (onClose) onClose();
  }

 private:
  std::string progressLine() const {
    std::string detail = englishProgress(progress_);
    if (status_.id != Message::Id::Downloading) return detail;
    return english(status_) + " (" + detail + ")";
  }

  // Written on a later loop turn, once the caller has set both the bytes
  // and the status text that go with them; on a terminal at most every
  // kRedrawInterval.
  void scheduleWrite() {
    if (writeId_) return;
    guint delayMs = 0;
    if (terminal_) {
      double wait = lastDraw_ + kRedrawInterval - monotonicSeconds();
      if (wait > 0) delayMs = static_cast<guint>(std::ceil(wait * 1000.0));
    }
    GSourceFunc write = [](gpointer data) -> gboolean {
      auto* self = static_cast<ConsoleDownloadView*>(data);
      self->writeId_ = 0;
      self->writeProgress();
      return G_SOURCE_REMOVE;
    };
    // An idle source is ready on the very next turn; a 0 ms timeout may not be.
    writeId_ = delayMs ? g_timeout_add(delayMs, write, this)
                       : g_idle_add_full(G_PRIORITY_DEFAULT, write, this, nullptr);
  }

  void writeProgress() {
    if (terminal_) {
      // Short of the last column, so that a redraw never wraps onto a new
      // line: a carriage return only goes back to the start of the last one.
      std::string line = cutToColumns(progressLine(), terminalColumns() - 1);
      if (!lineOpen_ || line != shownLine_) writeErr("\r" + line + "\033[K");
      shownLine_ = line;
      lineOpen_ = true;
      lastDraw_ = monotonicSeconds();
    } else {
      writeErr(progressLine() + "\n");
    }
    pending_ = false;
  }

  // Brings the progress output up to date and ends it, so that what comes
  // next starts on a line of its own.
  void finishProgress() {
    if (writeId_) g_source_remove(writeId_);
    writeId_ = 0;
    if (pending_) writeProgress();
    if (lineOpen_) writeErr("\n");
    lineOpen_ = false;
    shownLine_.clear();
  }

  void removeSources() {
    if (writeId_) g_source_remove(writeId_);
    writeId_ = 0;
  }

  std::function<void()> onClose_;
  const bool terminal_;
  bool closed_ = false;
  bool failed_ = false;
  guint writeId_ = 0;

  double max_ = 100.0;
  Message status_;
  Progress progress_;

  bool pending_ = false;   // progress not yet written out
  bool lineOpen_ = false;  // the cursor sits at the end of an in-place line
  std::string shownLine_;  // what that line says
  double lastDraw_ = -1e9;
  int64_t lastStep_ = -1;
};

}  // namespace

std::unique_ptr<DownloadView> createConsoleDownloadView(std::function<void()> onClose) {
  return std::make_unique<ConsoleDownloadView>(std::move(onClose));
}

}  // namespace window
