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

// Whether the child has ended, without reaping it: waitForProcess still
// gets its status.
bool hasEnded(pid_t pid);

}  // namespace platform

namespace platform {

struct ToolRun {
  bool started = false;
  int waitStatus = 0;        // as waitpid gives it, once started
  bool interrupted = false;  // SIGINT, SIGTERM or SIGHUP came while it ran
  std::string output;        // its standard output, when asked for
};

// Runs `argv` (argv[0] looked up on PATH) and waits for it: in a process
// group of its own, standard input from /dev/null, without the environment
// variables named in `unset`, with `fd3` (when >= 0) as its descriptor 3 and
// no other beyond the standard three. A termination signal that arrives
// meanwhile kills the whole group and marks the run interrupted; it is still
// recorded for terminationRequested().
ToolRun runTool(const std::vector<std::string>& argv, const std::vector<std::string>& unset, int fd3,
                bool captureOutput);

}  // namespace platform
