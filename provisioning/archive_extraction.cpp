#include "provisioning/archive_extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <sstream>
#include <vector>

#include "platform/task.h"
#include "provisioning/build_constants.h"

namespace {

// With these set, unzip takes options from the environment (UNZIP=-: writes
// entries outside the destination).
const std::vector<std::string> kOptionVariables = {"UNZIP", "UNZIPOPT", "ZIPINFO", "ZIPINFOOPT"};

// unzip treats wildcards in the archive's name as a pattern, so the archive
// is handed over as an open descriptor instead: its name is never parsed.
const std::string kArchiveArgument = "/dev/fd/3";

std::string sizeText(unsigned long long bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  static const char* units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = bytes / 1000.0;
  size_t unit = 0;
  while (value >= 999.95 && unit + 1 < sizeof units / sizeof *units) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

std::string lastLine(const std::string& text) {
  std::istringstream in(text);
  std::string line, last;
  while (std::getline(in, line))
    if (!line.empty()) last = line;
  return last;
}

// The nearest directory at or above `path` that exists.
std::string existingAncestor(std::string path) {
  struct stat st;
  while (!path.empty() && stat(path.c_str(), &st) != 0) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    auto slash = path.rfind('/');
    path = slash == std::string::npos ? "" : slash == 0 ? "/" : path.substr(0, slash);
  }
  return path.empty() ? "." : path;
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
  limits.freeOn = existingAncestor(destination);
  struct statvfs fs;
  limits.freeBytes = statvfs(limits.freeOn.c_str(), &fs) == 0
                         ? static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize
                         : ULLONG_MAX;  // unknown: unzip meets a full disk itself
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
    return prefix + "unpacks to " + sizeText(bytes) + ", more than the " + sizeText(limits.maxBytes) +
           " allowed";
  if (bytes > limits.freeBytes)
    return prefix + "unpacks to " + sizeText(bytes) + ", more than the " + sizeText(limits.freeBytes) +
           " free on " + limits.freeOn;
  return std::string();
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
