#include <dlfcn.h>

#include "platform/main_bundle.h"
#include "window/download_view.h"

namespace window {

namespace {

using CreateWindow = DownloadView* (*)(const std::string*, std::function<void()>*, const std::string*);

// The window module; null when it is missing or cannot be loaded (the
// toolkit's libraries are not installed, say).
CreateWindow loadWindowModule() {
  std::string module = platform::modulePath(kWindowModuleName);
  if (module.empty()) return nullptr;
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);  // kept until exit
  return handle ? reinterpret_cast<CreateWindow>(dlsym(handle, "installerCreateGtkDownloadView")) : nullptr;
}

}  // namespace

std::unique_ptr<DownloadView> createDownloadView(const std::string& title,
                                                 std::function<void()> onClose) {
  if (CreateWindow create = loadWindowModule()) {
    // A copy for the window, so that without a display the console view
    // still gets the original.
    std::function<void()> forWindow = onClose;
    auto bundle = platform::mainBundle();
    std::string localeDir = bundle && !bundle->resourcePath.empty() ? bundle->resourcePath + "/locale" : "";
    if (DownloadView* window = create(&title, &forWindow, &localeDir)) return std::unique_ptr<DownloadView>(window);
  }
  return createConsoleDownloadView(std::move(onClose));
}

}  // namespace window
