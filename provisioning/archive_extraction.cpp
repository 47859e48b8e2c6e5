#include "provisioning/archive_extraction.h"

#include <sys/stat.h>

#include <exception>

#include "launch/shell_command.h"

bool unzipInstallAgent(const std::string& archive, const std::string& destination,
                       const std::string& unzipProgram, ErrorCallback callback) {
  struct stat st;
  if (stat(archive.c_str(), &st) != 0) return false;
  // unzip asks on the terminal when it cannot write (a full disk), even with
  // -qq; with no input it gives up instead of hanging.
  std::string commandLine = smart_quote(unzipProgram) + " -qq -o " + smart_quote(archive) +
                            " -d " + smart_quote(destination) + " </dev/null";
  int status;
  try {
    status = call_system(unzipProgram, commandLine);
  } catch (const std::exception&) {
    return false;
  }
  if (status != 0) {
    callback("Failed to unzip the install agent", true);
    return false;
  }
  return true;
}
