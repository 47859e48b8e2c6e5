// Where the installer itself lies on disk.
#pragma once

#include <string>

// The one separator of file-system paths.
inline const std::string pathSeparator = "/";

// The bundle's path, or the executable's when there is no bundle; may be empty.
std::string getPathToExecutable();
// getPathToExecutable() without its last component ('/' or '\' separates).
std::string getDirectoryOfExecutable();
// `path` without its last component and the separator before it ('/' or
// '\'); the whole path when it has no separator.
std::string withoutLastComponent(const std::string& path);
// The bundle's resource directory, else the bundle, else the executable's directory.
std::string getBundleLocation();
