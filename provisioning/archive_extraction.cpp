#include "provisioning/archive_extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "platform/file_manager.h"
#include "platform/quantities.h"
#include "platform/task.h"
#include "provisioning/agent_paths.h"
#include "provisioning/build_constants.h"
#include "provisioning/zip_directory.h"

namespace {

const std::string kUnzip = "unzip";

// With these set, unzip takes options from the environment (UNZIP=-: writes
// entries outside the destination).
const std::vector<std::string> kOptionVariables = {"UNZIP", "UNZIPOPT", "ZIPINFO", "ZIPINFOOPT"};

// unzip treats wildcards in the archive's name as a pattern, so the archive
// is handed over as an open descriptor instead: its name is never parsed.
const std::string kArchiveArgument = "/dev/fd/3";

// Unpacking stops this far short of a full disk at most, so that the
// user's other programs are never left without room.
constexpr unsigned long long kFreeSpaceReserve = 256ull << 20;

// Faster than unzip ever writes (a copy from memory) or makes entries: the
// unpacked tree is counted again only when it could be near a limit.
constexpr double kFastestBytesPerSecond = 4e9;
constexpr double kFastestEntriesPerSecond = 200000;
constexpr double kShortestCheckSeconds = 0.05;
constexpr double kLongestCheckSeconds = 1.0;
// How much of a kept tree is still unwritten when unzip ends: a fifth of a
// second of its writing.
constexpr double kWriteBehindSeconds = 0.2;

bool succeeded(const platform::ToolRun& run) {
  return run.started && !run.interrupted && WIFEXITED(run.waitStatus) && WEXITSTATUS(run.waitStatus) == 0;
}

bool extract(const std::string& unzip, int archiveFd, const std::string& destination, ErrorCallback callback,
             Unpacked kind) {
  ArchiveLimits limits;
  limits.maxBytes = maxUnpackedBytes;
  limits.maxEntries = maxArchiveEntries;
  limits.freeOn = platform::existingAncestor(destination);
  // Unknown: unzip meets a full disk itself.
  limits.freeBytes = platform::freeBytesAt(limits.freeOn).value_or(ULLONG_MAX);
  // A quick first check from the archive's own directory; an archive whose
  // directory cannot be read is left to the bounds below.
  std::optional<platform::TreeTotals> declared = declaredTotals(archiveFd, limits.maxEntries);
  if (UnzipStatus refusal = declared ? checkUnpacked(*declared, limits, false) : UnzipStatus(); !refusal) {
    callback(refusal.message(), true);
    return false;
  }
  // A destination that starts with '-' would read as an option.
  std::string target = destination.empty() || destination[0] != '-' ? destination : "./" + destination;
  // The totals are the archive's own claim: what unzip really writes is
  // bounded too, file by file in the child and in all while it runs, so an
  // archive that understates its size never fills the disk.
  ArchiveLimits bounds = limits;
  bounds.freeBytes -= std::min<unsigned long long>(limits.freeBytes / 10, kFreeSpaceReserve);
  platform::TreeTotals before = platform::treeTotals(destination);  // the work directory may hold the download
  auto unpacked = [&] {
    platform::TreeTotals now = platform::treeTotals(destination);
    return platform::TreeTotals{now.bytes - std::min(now.bytes, before.bytes),
                                now.entries - std::min(now.entries, before.entries)};
  };
  platform::ToolLimits toolLimits;
  toolLimits.maxFileBytes = std::min(bounds.maxBytes, bounds.freeBytes) + 1;
  std::optional<platform::WriteBehind> writeBehind;
  if (kind == Unpacked::Kept) writeBehind.emplace(destination);
  toolLimits.keepGoing = [&]() -> std::optional<double> {
    std::optional<double> seconds = secondsToNextCheck(unpacked(), bounds);
    if (!seconds || !writeBehind) return seconds;
    writeBehind->pass();
    return std::min(*seconds, kWriteBehindSeconds);
  };
  platform::ToolRun run = platform::runTool({unzip, "-qq", "-o", kArchiveArgument, "-d", target},
                                            kOptionVariables, archiveFd, toolLimits);
  if (UnzipStatus refusal = checkUnpacked(unpacked(), bounds, true); !refusal) {
    callback(refusal.message(), true);
    return false;
  }
  return succeeded(run);
}

// What was checked through the descriptor is what is unpacked.
bool unzipOpenArchive(int archiveFd, const std::string& destination, ErrorCallback callback, Unpacked kind) {
  struct stat st;
  std::optional<std::string> unzip = platform::findTool(kUnzip);
  bool unpacked = unzip && archiveFd >= 0 && fstat(archiveFd, &st) == 0 && S_ISREG(st.st_mode) &&
                  extract(*unzip, archiveFd, destination, callback, kind);
  if (!unpacked) callback("Failed to unzip the install agent", true);
  return unpacked;
}

}  // namespace

UnzipStatus checkUnpacked(const platform::TreeTotals& totals, const ArchiveLimits& limits, bool measured) {
  const std::string prefix = "The install agent archive ";
  auto over = [](std::string line) { return UnzipStatus(UnzipCode::OverLimits, std::move(line)); };
  // What was measured while unzip ran is only how far it got.
  const std::string atLeast = measured ? "at least " : "";
  if (totals.entries > limits.maxEntries)
    return over(prefix + "holds " + atLeast + std::to_string(totals.entries) + " entries, more than the " +
                std::to_string(limits.maxEntries) + " allowed");
  std::string size = atLeast + platform::formatByteCount(static_cast<int64_t>(totals.bytes));
  if (totals.bytes > limits.maxBytes)
    return over(prefix + "unpacks to " + size + ", more than the " +
                platform::formatByteCount(static_cast<int64_t>(limits.maxBytes)) + " allowed");
  if (totals.bytes > limits.freeBytes)
    return over(prefix + "unpacks to " + size + ", more than the " +
                platform::formatByteCount(static_cast<int64_t>(limits.freeBytes)) + " free on " + limits.freeOn);
  return {};
}

std::optional<double> secondsToNextCheck(const platform::TreeTotals& totals, const ArchiveLimits& limits) {
  if (!checkUnpacked(totals, limits, true)) return std::nullopt;
  double bytesLeft = static_cast<double>(std::min(limits.maxBytes, limits.freeBytes) - totals.bytes);
  double entriesLeft = static_cast<double>(limits.maxEntries - totals.entries);
  double seconds = std::min(bytesLeft / kFastestBytesPerSecond, entriesLeft / kFastestEntriesPerSecond);
  return std::clamp(seconds, kShortestCheckSeconds, kLongestCheckSeconds);
}

UnzipStatus unzipInstalled() {
  if (platform::findTool(kUnzip)) return {};
  return {UnzipCode::NoUnzip, kUnzip + " is not installed: the installer needs it to unpack the install agent"};
}

UnzipStatus unpackAgentArchive(int archiveFd, const std::string& destination, ErrorCallback callback,
                               Unpacked kind) {
  if (!unzipOpenArchive(archiveFd, destination, callback, kind)) return {UnzipCode::Failed, std::string()};
  if (ScriptStatus script = checkInstallScript(destination); !script)
    return {UnzipCode::NoInstallScript, script.message()};
  return {};
}

UnzipStatus unpackAgentArchive(const std::string& path, const std::string& destination, ErrorCallback callback) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {UnzipCode::NoArchive, std::string()};
  // O_NONBLOCK: a FIFO in the archive's place must not hang the open.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  UnzipStatus unpacked = unpackAgentArchive(fd, destination, callback);
  if (fd >= 0) close(fd);
  return unpacked;
}
