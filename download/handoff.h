// The hand-off from the command-line road to the download application.
#pragma once

#include <string>

#include "hostenv/report.h"

// Where the controller saves the archive, and where it downloads it from.
extern std::string downloadTo;
extern std::string downloadFrom;

// What the download application's result means for the command-line road.
enum class HandOffResult {
  Failed,        // cancelled, download or unpack failed: no agent
  AgentStarted,  // the application started the agent itself
  AgentReady,    // the agent is in the cache, or its archive at downloadTo
  ArchiveLeft,   // the archive is at downloadTo, to be unpacked privately
};

// The application main's results when it has started the agent, and when it
// left the archive for the command-line road because the cache could not be
// used; 0 means failure, any other value "ready".
inline constexpr int kApplicationStartedAgent = 2;
inline constexpr int kApplicationLeftArchive = 3;

// Runs the application main (the download window and its loop) and returns
// its result. The arguments are ignored.
int CallNSApplicationMain(int argc, const char** argv);

// Tests run an application main of their own through this; null restores the
// download application.
using ApplicationMain = int (*)();
void setApplicationMainForTesting(ApplicationMain main);

// Stores the destination and the address (QV_INTERNAL_INSTALL_AGENT_URL when
// set, even empty; else the built-in address) and runs the application.
HandOffResult downloadInstallAgentFromQV(const char* destination, ErrorCallback callback);
