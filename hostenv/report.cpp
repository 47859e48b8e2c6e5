#include "hostenv/report.h"

#include <cstdio>

#include "platform/system_log.h"

void report_error_main(std::string message, bool isError) {
  FILE* stream = isError ? stderr : stdout;
  std::string line = platform::escapeControlBytes(message);
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}
