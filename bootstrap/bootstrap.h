// One run of the installer: obtain the install agent and start it.
#pragma once

#include <string>

#include "hostenv/report.h"
#include "provisioning/payload.h"

// 0 when the agent was started, -1 otherwise.
int mainFcn(int argc, const char* const* argv, ErrorCallback callback);

// The payload hook. An executable made into a single file unpacks its
// payload into `directory` (the run's private work directory), which is the
// resource directory from then on: the files written, with their digests
// for the gate; else the code (Damaged or CannotUnpack), said through
// `callback`. Any other executable has no payload: no files at once.
platform::Result<WrittenFiles, PayloadCode> extractPayloadToDir(std::string directory, ErrorCallback callback);

