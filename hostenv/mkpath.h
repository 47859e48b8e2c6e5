// Creates a directory and every missing directory above it with `mode`.
// -1 with errno ENOTDIR when a component exists but is not a directory; 0
// otherwise (a mkdir that fails for another reason shows at the next use).
#pragma once

#include <string>
#include <sys/types.h>

int mkpath(std::string path, mode_t mode);
