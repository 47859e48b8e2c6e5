// Child processes.
#pragma once

#include <cstdint>
#include <functional>
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

// Where `name` is on the search path: the first executable regular file
// (through links) of that name in a directory of PATH ("/usr/bin:/bin"
// when PATH is unset). Handed to runTool, it is run without a second search.
std::optional<std::string> findTool(const std::string& name);

struct ToolRun {
  bool started = false;
  int waitStatus = 0;        // as waitpid gives it, once started
  bool interrupted = false;  // SIGINT, SIGTERM or SIGHUP came while it ran
  bool stopped = false;      // its limits' keepGoing said to stop
};

// What a tool may do before it is stopped.
struct ToolLimits {
  uint64_t maxFileBytes = 0;  // no file it writes grows past this (RLIMIT_FSIZE); 0: no limit
  // Asked as soon as it runs, then again after the seconds each answer
  // gives; nothing ends it, and the run counts as stopped.
  std::function<std::optional<double>()> keepGoing;
};

// Runs `argv` (argv[0] looked up on PATH unless it is a path, as findTool
// gives) and waits for it: standard input from /dev/null, without the
// environment variables named in `unset`, with `fd3` (when >= 0) as its
// descriptor 3 and no other beyond the standard three. A termination signal
// that arrives meanwhile kills it and marks the run interrupted; it is
// still recorded for terminationRequested().
ToolRun runTool(const std::vector<std::string>& argv, const std::vector<std::string>& unset, int fd3,
                const ToolLimits& limits = {});

}  // namespace platform
