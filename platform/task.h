// Child processes.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// Starts `program` with `arguments` (argv[1..]) as it is, without a shell and
// without waiting; the child inherits standard input, output and error and
// no other descriptor, and gets the usual signal defaults. Its pid, or
// nothing when it could not be started.
std::optional<pid_t> startProcess(const std::string& program, const std::vector<std::string>& arguments);

// Waits until the child has ended (also through signals that the program
// handles); its wait status, or -1.
int waitForProcess(pid_t pid);

}  // namespace platform
