// The installer's entry point: everything else lives in the library.
#include "bootstrap/bootstrap.h"
#include "platform/process_env.h"
#include "platform/system_log.h"
#include "platform/termination.h"
#include "provisioning/build_constants.h"

int main(int argc, char** argv) {
  platform::setSystemLogIdentifier(productToken);
  platform::catchFatalIoSignals();
  platform::watchTerminationSignals();
  int result = mainFcn(argc, argv, report_error_main);
  if (result != 0) report_error_main("Installation failed.", true);
  return result == 0 ? 0 : 255;
}
