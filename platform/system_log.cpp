#include "platform/system_log.h"

#include <syslog.h>

#include <cstdio>

namespace platform {

void systemLog(const std::string& line) {
  syslog(LOG_USER | LOG_ERR, "%s", line.c_str());
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace platform
