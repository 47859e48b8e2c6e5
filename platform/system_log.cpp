#include "platform/system_log.h"

#include <syslog.h>

#include <cstdio>

namespace platform {

std::string escapeControlBytes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void setSystemLogIdentifier(const std::string& identifier) {
  static std::string kept;  // syslog keeps the pointer, not the text
  closelog();
  kept = identifier;
  openlog(kept.c_str(), LOG_PID, LOG_USER);
}

void systemLog(const std::string& line) {
  std::string safe = escapeControlBytes(line);
  syslog(LOG_USER | LOG_ERR, "%s", safe.c_str());
  std::fprintf(stderr, "%s\n", safe.c_str());
  std::fflush(stderr);
}

}  // namespace platform
