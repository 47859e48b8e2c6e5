// Child processes that outlive the program.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts `program` with `arguments` (argv[1..]) as it is, without a shell and
// without waiting; the child inherits standard input, output and error and
// no other descriptor. False when it could not be started.
bool launchDetached(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace platform
