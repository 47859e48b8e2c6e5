// Where the program and its resources lie. An executable at
// <X>.app/Contents/MacOS/<name> belongs to the bundle <X>.app, whose resources
// are <X>.app/Contents/Resources (none when that directory is missing). Any
// other executable is its own bundle: its directory holds the resources.
// An executable that carried its resources as a payload has them, and its
// modules, in the directory they were unpacked into.
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

// Once, when a payload has been unpacked into `directory`: from then on it
// is the resource directory and holds the modules.
void useUnpackedResources(const std::string& directory);

// The full path of a module that ships with the program (beside the
// executable, or unpacked with the payload); empty when the executable's
// own path is unknown. Only ever a full path: a bare name would make
// dlopen search the library path.
std::string modulePath(const std::string& name);

// The running executable's path from /proc/self/exe; empty when unreadable
// or not shorter than PATH_MAX.
std::string executablePath();

}  // namespace platform
