#include "hostenv/location.h"

#include "platform/main_bundle.h"

std::string getPathToExecutable() {
  if (auto bundle = platform::mainBundle()) return bundle->bundlePath;
  std::string exe = platform::executablePath();
  return exe.substr(0, 1023);
}

std::string getDirectoryOfExecutable() {
  std::string path = getPathToExecutable();
  auto sep = path.find_last_of("/\\");
  return sep == std::string::npos ? path : path.substr(0, sep);
}

std::string getBundleLocation() {
  if (auto bundle = platform::mainBundle())
    return bundle->resourcePath.empty() ? bundle->bundlePath : bundle->resourcePath;
  return getDirectoryOfExecutable();
}
