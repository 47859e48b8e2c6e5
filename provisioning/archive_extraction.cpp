#include "provisioning/archive_extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <sstream>
#include <vector>

#include "platform/file_manager.h"
#include "platform/task.h"
#include "platform/transfer_text.h"
#include "provisioning/build_constants.h"

namespace {

// With these set, unzip takes options from the environment (UNZIP=-: writes
// entries outside the destination).
const std::vector<std::string> kOptionVariables = {"UNZIP", "UNZIPOPT", "ZIPINFO", "ZIPINFOOPT"};

// unzip treats wildcards in the archive's name as a pattern, so the archive
// is handed over as an open descriptor instead: its name is never parsed.
const std::string kArchiveArgument = "/dev/fd/3";

std::string lastLine(const std::string& text) {
  std::istringstream in(text);
  std::string line, last;
  while (std::getline(in, line))
    if (!line.empty()) last = line;
  return last;
}

bool succeeded(const platform::ToolRun& run) {
  return run.started && !run.interrupted && WIFEXITED(run.waitStatus) && WEXITSTATUS(run.waitStatus) == 0;
}

bool extract(int archiveFd, const std::string& destination, const std::string& unzipProgram,
             ErrorCallback callback) {
  platform::ToolRun totals = platform::runTool({unzipProgram, "-Zt", kArchiveArgument}, kOptionVariables,
                                               archiveFd, true);
  if (!succeeded(totals)) return false;
  ArchiveLimits limits;
  limits.maxBytes = maxUnpackedBytes;
  limits.maxEntries = maxArchiveEntries;
  limits.freeOn = platform::existingAncestor(destination);
  // Unknown: unzip meets a full disk itself.
  limits.freeBytes = platform::freeBytesAt(limits.freeOn).value_or(ULLONG_MAX);
  std::string refusal = checkArchiveTotals(lastLine(totals.output), limits);
  if (!refusal.empty()) {
    callback(refusal, true);
    return false;
  }
  // A destination that starts with '-' would read as an option.
  std::string target = destination.empty() || destination[0] != '-' ? destination : "./" + destination;
  return succeeded(platform::runTool({unzipProgram, "-qq", "-o", kArchiveArgument, "-d", target},
                                     kOptionVariables, archiveFd, false));
}

}  // namespace

std::string checkArchiveTotals(const std::string& totalsLine, const ArchiveLimits& limits) {
  std::istringstream in(totalsLine);
  unsigned long long entries = 0, bytes = 0;
  std::string filesWord, bytesWord, uncompressedWord;
  if (!(in >> entries >> filesWord >> bytes >> bytesWord >> uncompressedWord) ||
      (filesWord != "file," && filesWord != "files,") || bytesWord != "bytes" ||
      uncompressedWord != "uncompressed,")
    return "The install agent archive's contents cannot be read";
  const std::string prefix = "The install agent archive ";
  if (entries > limits.maxEntries)
    return prefix + "holds " + std::to_string(entries) + " entries, more than the " +
           std::to_string(limits.maxEntries) + " allowed";
  if (bytes > limits.maxBytes)
    return prefix + "unpacks to " + platform::formatByteCount(bytes) + ", more than the " + platform::formatByteCount(limits.maxBytes) +
           " allowed";
  if (bytes > limits.freeBytes)
    return prefix + "unpacks to " + platform::formatByteCount(bytes) + ", more than the " + platform::formatByteCount(limits.freeBytes) +
           " free on " + limits.freeOn;
  return std::string();
}

bool unzipIsInstalled(const std::string& unzipProgram, ErrorCallback callback) {
  if (platform::toolOnPath(unzipProgram)) return true;
  callback(unzipProgram + " is not installed: the installer needs it to unpack the install agent", true);
  return false;
}

bool unzipInstallAgent(const std::string& archive, const std::string& destination,
                       const std::string& unzipProgram, ErrorCallback callback) {
  struct stat st;
  if (stat(archive.c_str(), &st) != 0) return false;
  // O_NONBLOCK: a FIFO in the archive's place must not hang the open.
  int fd = open(archive.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  bool unpacked = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  extract(fd, destination, unzipProgram, callback);
  if (fd >= 0) close(fd);
  if (!unpacked) callback("Failed to unzip the install agent", true);
  return unpacked;
}
