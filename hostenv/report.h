// How every step reports a message: the text (no trailing newline) and
// whether it is an error. Every folder may include this; it depends on
// nothing of the installer's own.
#pragma once

#include <string>

using ErrorCallback = void (*)(std::string message, bool isError);

// The program's ErrorCallback: the message, its control bytes escaped (see
// platform::escapeControlBytes), and a newline to standard error
// (standard output when it is not an error), then a flush.
void report_error_main(std::string message, bool isError);
