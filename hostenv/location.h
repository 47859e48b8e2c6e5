// Where the installer itself lies on disk.
#pragma once

#include <string>

// The one separator of file-system paths.
inline const std::string pathSeparator = "/";

// The bundle's path, or the executable's when there is no bundle; may be empty.
std::string getPathToExecutable();
// The directory that holds getPathToExecutable() (platform::parentDirectory).
std::string getDirectoryOfExecutable();
// The bundle's resource directory, else the bundle, else the executable's directory.
std::string getBundleLocation();
