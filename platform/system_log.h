// One line to the system log and, so that a user in a terminal sees it too,
// to standard error.
#pragma once

#include <string>

namespace platform {

void systemLog(const std::string& line);

}  // namespace platform
