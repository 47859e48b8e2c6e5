// Unpacking an agent archive with the system's unzip tool.
#pragma once

#include <string>

#include "hostenv/report.h"

// True when `unzipProgram` unpacked `archive` into `destination` (created
// when missing). A missing archive is false without a message.
bool unzipInstallAgent(const std::string& archive, const std::string& destination,
                       const std::string& unzipProgram, ErrorCallback callback);
