// Where the program and its resources lie. An executable at
// <X>.app/Contents/MacOS/<name> belongs to the bundle <X>.app, whose resources
// are <X>.app/Contents/Resources (none when that directory is missing). Any
// other executable is its own bundle: its directory holds the resources.
#pragma once

#include <optional>
#include <string>

namespace platform {

struct Bundle {
  std::string bundlePath;
  std::string resourcePath;  // empty when the bundle has none
};

// None only when the executable's path cannot be read.
std::optional<Bundle> mainBundle();

// The running executable's path from /proc/self/exe; empty when unreadable
// or not shorter than PATH_MAX.
std::string executablePath();

}  // namespace platform
