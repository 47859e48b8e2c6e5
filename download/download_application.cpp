#include "download/download_application.h"

#include "download/download_controller.h"
#include "platform/event_loop.h"
#include "platform/termination.h"
#include "provisioning/build_constants.h"
#include "window/download_view.h"

HandOffResult runDownloadApplication(AgentCache& cache, const std::vector<std::string>& userArguments,
                                     ErrorCallback callback) {
  if (platform::terminationRequested()) return {};
  platform::EventLoop loop;
  Download controller(loop, cache, callback, userArguments);
  auto window = window::createDownloadView(windowTitle, [&controller] { controller.windowWillClose(); });
  controller.setWindow(window.get());
  // Ending the run by a signal is pressing Cancel.
  platform::setTerminationHandler([&window] { window->close(); });
  loop.callSoon([&controller] { controller.applicationDidFinishLaunching(); });
  loop.run();
  platform::setTerminationHandler(nullptr);
  window.reset();  // goes before the controller it reports to
  return controller.result();
}
