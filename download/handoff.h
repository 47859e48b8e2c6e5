// The hand-off from the command-line road to the download application.
#pragma once

#include <string>
#include <vector>

#include "hostenv/report.h"
#include "provisioning/agent_sourcing.h"

// Where the controller saves the archive, and where it downloads it from.
extern std::string downloadTo;
extern std::string downloadFrom;
// The hosts asked, in order, when downloadFrom's fails: none when the
// address came from the environment.
extern std::vector<std::string> downloadMirrors;

// Runs the application main (the download window and its loop) and returns
// its result, reporting through report_error_main. An agent it starts gets
// the arguments after the program's name.
HandOffResult CallNSApplicationMain(int argc, const char** argv);

// Stores the destination and the address (QV_INTERNAL_INSTALL_AGENT_URL when
// set, even empty, alone; else the built-in address, then the mirrors) and
// runs the application, which reports through `callback`.
HandOffResult downloadInstallAgentFromQV(const char* destination, AgentCache& cache,
                                         const std::vector<std::string>& userArguments, ErrorCallback callback);
