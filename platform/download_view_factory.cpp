#include "platform/download_view.h"

namespace platform {

std::unique_ptr<DownloadView> createDownloadView(const std::string& title,
                                                 std::function<void()> onClose) {
  // onClose is copied for the window, so that without a display the console
  // view still gets it.
  if (auto window = createGtkDownloadView(title, onClose)) return window;
  return createConsoleDownloadView(std::move(onClose));
}

}  // namespace platform
