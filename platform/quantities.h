// Sizes in the user's words and the clock that durations are measured on.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// GLib's decimal units ("3.0 MB", "999 bytes", a no-break space before the
// unit) in the calling thread's locale: English with a point in the
// process's own, which the window gives back after the toolkit starts.
std::string formatByteCount(int64_t bytes);

double monotonicSeconds();

}  // namespace platform
