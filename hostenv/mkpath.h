// Creates a directory and every missing directory above it with `mode`.
// NotADirectory when a component exists but is not a directory; Ok
// otherwise (a mkdir that fails for another reason shows at the next use).
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/result.h"

enum class MkpathCode { Ok, NotADirectory };
using MkpathStatus = platform::Status<MkpathCode>;

MkpathStatus mkpath(const std::string& path, mode_t mode);
