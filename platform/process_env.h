// The process's environment as the rest of the program sees it.
#pragma once

#include <string>

namespace platform {

// The user's temporary directory: TMPDIR when set and not empty, else empty.
std::string temporaryDirectory();

// Signals that must never end the process: a peer closing a socket
// (SIGPIPE) or a file-size limit (SIGXFSZ); the write fails with EPIPE or
// EFBIG instead. They are caught, not ignored: an ignored signal stays
// ignored across exec, a caught one does not, so every child (the agent
// expects a pipeline's writer to end on SIGPIPE) starts with the defaults
// without any set-up between its fork and its exec.
void catchFatalIoSignals();

}  // namespace platform
