#include "hostenv/report.h"

#include <cstdio>

void report_error_main(std::string message, bool isError) {
  FILE* stream = isError ? stderr : stdout;
  std::fwrite(message.data(), 1, message.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}
