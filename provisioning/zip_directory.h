// What a zip archive declares about itself, read in this process.
#pragma once

#include <optional>

#include "platform/file_manager.h"

// The entries and the unpacked bytes that the zip archive open on `fd`
// declares in its central directory: its end records and the directory
// are read, never the entries' data. When it counts more than
// `maxEntries` it is not walked, and the bytes are 0. Nothing when the
// directory cannot be read or does not hold what it says; unzip meets such
// an archive on its own.
std::optional<platform::TreeTotals> declaredTotals(int fd, unsigned long long maxEntries);
