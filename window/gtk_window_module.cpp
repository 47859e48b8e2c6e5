// The entry point of the window module, which the installer loads only when
// it has to show a download: the shipped-archive road never pays for loading
// the toolkit.
#include "window/download_view.h"

extern "C" __attribute__((visibility("default"))) window::DownloadView* installerCreateGtkDownloadView(
    const std::string* title, std::function<void()>* onClose, const std::string* localeDir) {
  return window::createGtkDownloadView(*title, std::move(*onClose), *localeDir).release();
}
