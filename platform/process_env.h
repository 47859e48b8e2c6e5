// The process's environment as the rest of the program sees it.
#pragma once

#include <string>

namespace platform {

// The user's temporary directory: TMPDIR when set and not empty, else empty.
std::string temporaryDirectory();

// Signals that must never end the process: a peer closing a socket
// (SIGPIPE) or a file-size limit (SIGXFSZ, so writes fail with EFBIG).
// Ignored signals stay ignored across exec, so the agent, which expects the
// usual defaults (a pipeline's writer ends on SIGPIPE), gets them back.
void ignoreFatalIoSignals();
void restoreFatalIoSignals();

}  // namespace platform
