// One run of the installer: obtain the install agent and start it.
#pragma once

#include <string>

#include "hostenv/report.h"

// 0 when the agent was started, -1 otherwise.
int mainFcn(int argc, const char* const* argv, ErrorCallback callback);

// The payload hook. An executable made into a single file unpacks its
// payload into `directory` (the run's private work directory), which is the
// resource directory from then on; 0 then, 1 when the file is damaged or
// incomplete, 2 when it could not be unpacked (both said through
// `callback`). Any other executable has no payload: 0 at once.
int extractPayloadToDir(std::string directory, ErrorCallback callback);

