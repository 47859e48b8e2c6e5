#include "hostenv/location.h"

#include "platform/main_bundle.h"

// There is no main bundle only when the executable's own path cannot be
// read, so that case has nothing to fall back on.
std::string getPathToExecutable() {
  auto bundle = platform::mainBundle();
  return bundle ? bundle->bundlePath : std::string();
}

std::string withoutLastComponent(const std::string& path) {
  auto sep = path.find_last_of("/\\");
  return sep == std::string::npos ? path : path.substr(0, sep);
}

std::string getDirectoryOfExecutable() { return withoutLastComponent(getPathToExecutable()); }

std::string getBundleLocation() {
  if (auto bundle = platform::mainBundle())
    return bundle->resourcePath.empty() ? bundle->bundlePath : bundle->resourcePath;
  return std::string();
}
