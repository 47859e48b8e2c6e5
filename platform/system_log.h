// One line to the system log and, so that a user in a terminal sees it too,
// to standard error.
#pragma once

#include <string>

namespace platform {

// `text` with each control byte (below 0x20, and 0x7F) written as \xNN, so
// that a message is always one line and never drives the terminal.
std::string escapeControlBytes(const std::string& text);

// The name the lines are logged under (`journalctl -t <identifier>`); the
// program's file name until this is called.
void setSystemLogIdentifier(const std::string& identifier);

// Escapes `line` (see above) before writing it.
void systemLog(const std::string& line);

}  // namespace platform
