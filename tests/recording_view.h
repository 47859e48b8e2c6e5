// A download view that keeps what the controller did to it, for tests
// without a display. close() reports like a window does.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/download_view.h"

namespace testing_util {

class RecordingView : public platform::DownloadView {
 public:
  explicit RecordingView(std::function<void()> onClose) : onClose_(std::move(onClose)) {}

  void setIndeterminate(bool v) override { indeterminate = v; }
  void setMaxValue(double v) override { max = v; }
  double maxValue() const override { return max; }
  void setDoubleValue(double v) override { value = v; }
  void incrementBy(double d) override { value += d; }
  void startAnimation() override { animating = true; }
  void stopAnimation() override { animating = false; }
  void setStatusText(const std::string& t) override {
    if (texts.empty() || texts.back() != t) texts.push_back(t);
  }
  void setStatusColor(platform::TextColor c) override {
    color = c;
    if (onColor) onColor(c);
  }
  void setTransferred(int64_t r, int64_t t) override {
    received = r, total = t;
    if (onTransferred) onTransferred();
  }
  void setDetailText(const std::string& t) override { details.push_back(t); }
  bool waitsForUser() const override { return waits; }
  void setCancelEnabled(bool e) override { cancelEnabled = e; }
  void setSplashImage(const std::string& path, double w, double h) override {
    splash = path, splashWidth = w, splashHeight = h;
  }
  void displayIfNeeded() override {}
  void close() override {
    if (closed) return;
    closed = true;
    ++closes;
    onClose_();
  }

  bool indeterminate = false, animating = false, cancelEnabled = true, closed = false, waits = true;
  double max = 100, value = 0;
  int closes = 0;
  int64_t received = 0, total = 0;
  std::vector<std::string> texts;    // distinct successive status texts
  std::vector<std::string> details;  // notes shown in the detail line
  platform::TextColor color = platform::TextColor::Normal;
  std::string splash;
  double splashWidth = 0, splashHeight = 0;
  std::function<void(platform::TextColor)> onColor;
  std::function<void()> onTransferred;

 private:
  std::function<void()> onClose_;
};

}  // namespace testing_util
