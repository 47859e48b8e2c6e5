// One run of the installer: obtain the install agent and start it.
#pragma once

#include <string>

#include "hostenv/report.h"

// 0 when the agent was started, -1 otherwise.
int mainFcn(int argc, const char* const* argv, ErrorCallback callback);

// The payload hook: nothing to unpack in this installer; always 0.
int extractPayloadToDir(std::string directory, ErrorCallback callback);

