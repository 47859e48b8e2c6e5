// What the download controller sees of its window: a progress indicator, a
// status text with a colour, a cancel button, an image view and the window.
// Front ends: the GTK window, and a console view on standard error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "window/message.h"

namespace window {

enum class TextColor { Normal, Red };

class DownloadView {
 public:
  virtual ~DownloadView() = default;

  // Progress indicator.
  virtual void setIndeterminate(bool indeterminate) = 0;
  virtual void setMaxValue(double max) = 0;
  virtual double maxValue() const = 0;
  virtual void setDoubleValue(double value) = 0;
  virtual void incrementBy(double delta) = 0;
  virtual void startAnimation() = 0;
  virtual void stopAnimation() = 0;

  // Status text (one line) and its colour.
  virtual void setStatusText(const Message& text) = 0;
  virtual void setStatusColor(TextColor color) = 0;

  // The smaller line under the status text: how far the transfer has come.
  virtual void setTransferred(const Progress& progress) = 0;
  // A note in that line instead ("Retrying in 4 s…", a failure's cause),
  // until the next setTransferred; an empty one clears it.
  virtual void setDetailText(const Message& text) = 0;

  // Whether a failure stays on screen until the user closes the window.
  // The console view has nobody to wait for.
  virtual bool waitsForUser() const = 0;

  // Cancel button; pressing it closes the window.
  virtual void setCancelEnabled(bool enabled) = 0;

  // Image view: shows the image at `path` scaled proportionally into width x height.
  virtual void setSplashImage(const std::string& path, double width, double height) = 0;

  // Window.
  virtual void displayIfNeeded() = 0;
  // Closes the window (no-op once closed). Every close, by the program, the
  // cancel button or the user, calls the onClose given at creation.
  virtual void close() = 0;
};

// The window when its module loads and a display can be opened, else the
// console view. The window shows its texts in the user's language, from the
// catalogues in the bundle's resources (locale/<lang>/LC_MESSAGES/).
std::unique_ptr<DownloadView> createDownloadView(const std::string& title,
                                                 std::function<void()> onClose);

// The GTK window lives in this module, installed beside the executable.
inline constexpr char kWindowModuleName[] = "libinstaller-window.so";

// The front ends, for tests and for the factory. `localeDir` holds the
// window's catalogues; empty: English only.
std::unique_ptr<DownloadView> createGtkDownloadView(const std::string& title, std::function<void()> onClose,
                                                    const std::string& localeDir);  // null without a display
std::unique_ptr<DownloadView> createConsoleDownloadView(std::function<void()> onClose);

}  // namespace window
