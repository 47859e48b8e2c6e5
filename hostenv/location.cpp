#include "hostenv/location.h"

#include "platform/file_manager.h"
#include "platform/main_bundle.h"

// There is no main bundle only when the executable's own path cannot be
// read, so that case has nothing to fall back on.
std::string getPathToExecutable() {
  auto bundle = platform::mainBundle();
  return bundle ? bundle->bundlePath : std::string();
}

std::string getDirectoryOfExecutable() { return platform::parentDirectory(getPathToExecutable()); }

std::string getBundleLocation() {
  if (auto bundle = platform::mainBundle())
    return bundle->resourcePath.empty() ? bundle->bundlePath : bundle->resourcePath;
  return std::string();
}
