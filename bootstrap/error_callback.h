#pragma once

#include <string>

// How every step of the command-line road reports a message: the text (no
// trailing newline) and whether it is an error.
using ErrorCallback = void (*)(std::string message, bool isError);
