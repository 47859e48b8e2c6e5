#include "provisioning/agent_sourcing.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "platform/file_manager.h"
#include "platform/system_log.h"
#include "platform/task.h"
#include "platform/trust_rule.h"
#include "provisioning/agent_cache.h"
#include "provisioning/agent_paths.h"
#include "provisioning/agent_trust.h"
#include "provisioning/archive_extraction.h"
#include "provisioning/build_constants.h"

namespace {

bool isVersionedArchiveName(const std::string& name) {
  static const std::string prefix = "InstallAgent_", suffix = ".zip";
  return name.compare(0, prefix.size(), prefix) == 0 && name.size() >= prefix.size() + suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

SourcedAgent noAgent(ErrorCallback callback) {
  callback("Failed to initialize the install agent.", true);
  return {};
}

// Where an archive came from: it decides who hears that it holds no script.
enum class ArchiveFrom { Bundle, Download };

// The agent unpacked into `destination`, or no agent; what the archive
// holds instead of its script goes to the user, or for a downloaded
// archive to the system log.
SourcedAgent agentUnpackedIn(const UnzipStatus& unpacked, const std::string& destination, ErrorCallback callback,
                             ArchiveFrom from) {
  if (unpacked) return {getInstallAgentExecutable(destination), std::nullopt};
  if (unpacked.code() == UnzipCode::NoInstallScript && from == ArchiveFrom::Download)
    platform::systemLog(unpacked.message());
  else if (unpacked.code() == UnzipCode::NoInstallScript) callback(unpacked.message(), true);
  return noAgent(callback);
}

// The shipped archive in the resource directory, unpacked into workDir
// once the gate has passed it; nothing (not even a message) when none is
// shipped, and a note when the ones there cannot be trusted: the download
// road takes over then.
std::optional<SourcedAgent> shippedAgent(const std::string& workDir, const WrittenFiles& written,
                                         ErrorCallback callback) {
  std::string location = getDefaultInstallAgentLocation();
  std::string dir = platform::resolvePath(platform::parentDirectory(location));
  int dirFd = dir.empty() ? -1 : open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) return std::nullopt;
  std::optional<SourcedAgent> agent;
  std::string name = chooseShippedArchive(platform::directoryEntries(dirFd));
  // Opened once: what is checked, hashed and unpacked is this one file.
  int fd = name.empty() ? -1 : openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  platform::TrustStatus trusted = name.empty() ? platform::TrustStatus() : platform::trustedFileIn(dirFd, dir, fd, name);
  if (!trusted) {
    callback("Ignoring the install agent archives in " + dir + ": " + trusted.message(), true);
  } else if (!name.empty()) {
    std::string archive = dir + pathSeparator + name;
    GateStatus admitted = admitShippedArchive(fd, archive, name, written);
    UnzipStatus unzip = admitted ? unzipInstalled() : UnzipStatus();
    if (!admitted) callback("The install agent " + archive + " cannot be trusted: " + admitted.message(), true);
    if (!unzip) callback(unzip.message(), true);
    agent = admitted && unzip ? agentUnpackedIn(unpackAgentArchive(fd, workDir, callback), workDir, callback,
                                                ArchiveFrom::Bundle)
                              : noAgent(callback);
  }
  if (fd >= 0) close(fd);
  close(dirFd);
  return agent;
}

}  // namespace

std::string chooseShippedArchive(const std::vector<std::string>& names) {
  if (std::find(names.begin(), names.end(), installAgentZipName) != names.end()) return installAgentZipName;
  for (const std::string& name : names)
    if (isVersionedArchiveName(name)) return name;
  return std::string();
}

SourcedAgent sourceInstallAgent(const std::string& workDir, const WrittenFiles& written,
                                const std::vector<std::string>& userArguments, ErrorCallback callback,
                                DownloadStep download) {
  if (std::optional<SourcedAgent> shipped = shippedAgent(workDir, written, callback)) return *shipped;

  AgentCache().prepare();
  // A fresh look, now that prepare may have made it: resolved at construction.
  AgentCache cache;
  platform::TrustStatus usable = cache.usable();
  if (!usable)
    callback("The agent cache " + platform::parentDirectory(cache.agentDirectory()) + " cannot be used (" +
                 usable.message() + "): the install agent will be downloaded on every run",
             true);
  // A cache hit alone needs no unzip: without both, nothing is fetched.
  if (UnzipStatus unzip = unzipInstalled(); !unzip && (!usable || cache.vouchedAgent().empty())) {
    callback(unzip.message(), true);
    return noAgent(callback);
  }
  std::string target = workDir + pathSeparator + installAgentZipName;
  HandOffResult fetched = download(target.c_str(), cache, userArguments, callback);
  switch (fetched.kind) {
    case HandOffResult::Kind::AgentStarted:
      return {getInstallAgentExecutable(installAgentDirOnDisk()), fetched.agent};
    case HandOffResult::Kind::ArchiveLeft: {
      // The cache could not be used: the agent runs from the work directory
      // and the run waits for it. The download application verified this
      // very file, handed over open.
      UnzipStatus unpacked = unpackAgentArchive(fetched.archive, workDir, callback);
      close(fetched.archive);
      return agentUnpackedIn(unpacked, workDir, callback, ArchiveFrom::Download);
    }
    case HandOffResult::Kind::Failed:
      break;
  }
  return {};
}
