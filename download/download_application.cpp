#include "download/download_application.h"

#include "download/download_controller.h"
#include "platform/download_view.h"
#include "platform/event_loop.h"
#include "platform/termination.h"
#include "provisioning/build_constants.h"

HandOffResult runDownloadApplication(ErrorCallback callback) {
  if (platform::terminationRequested()) return {};
  platform::EventLoop loop;
  Download controller(loop, callback);
  auto window = platform::createDownloadView(windowTitle, [&controller] { controller.windowWillClose(); });
  controller.setWindow(window.get());
  // Ending the run by a signal is pressing Cancel.
  platform::setTerminationHandler([&window] { window->close(); });
  loop.callSoon([&controller] { controller.applicationDidFinishLaunching(); });
  loop.run();
  platform::setTerminationHandler(nullptr);
  window.reset();  // goes before the controller it reports to
  return controller.result();
}
