#include "provisioning/agent_sourcing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_manager.h"
#include "platform/system_log.h"
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

// The first InstallAgent_*.zip in the default location's directory, in
// listing order; empty when there is none.
std::string findVersionedArchive(const std::string& defaultLocation) {
  auto sep = defaultLocation.find_last_of("/\\");
  std::string dir = sep == std::string::npos ? defaultLocation : defaultLocation.substr(0, sep);
  DIR* d = opendir(dir.c_str());
  if (!d) return std::string();
  std::string found;
  while (dirent* entry = readdir(d)) {
    if (isVersionedArchiveName(entry->d_name)) {
      found = dir + pathSeparator + entry->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

// A shipped archive is unpacked only when the vendor signed it (in a build
// with keys).
bool isTrusted(int fd, const std::string& archive, ErrorCallback callback) {
  if (!signaturesRequired()) return true;
  std::string why = fd < 0 ? "cannot open it" : verifyArchiveFile(fd, archive);
  if (why.empty()) return true;
  callback("The install agent " + archive + " cannot be trusted: " + why, true);
  return false;
}

// Unpacks and checks that the archive brought its entry script. A
// downloaded archive's problem goes to the system log too.
SourcedAgent unpack(const std::string& archive, const std::string& destination,
                    ErrorCallback callback, bool downloaded = false) {
  if (unzipInstallAgent(archive, destination, "unzip", callback)) {
    if (holdsInstallScript(destination)) return {getInstallAgentExecutable(destination), std::nullopt};
    if (downloaded) platform::systemLog(missingInstallScript(destination));
    else callback(missingInstallScript(destination), true);
  }
  callback("Failed to initialize the install agent.", true);
  return {};
}

}  // namespace

SourcedAgent sourceInstallAgent(const std::string& workDir, ErrorCallback callback, DownloadStep download) {
  std::string defaultLocation = getDefaultInstallAgentLocation();
  struct stat st;
  std::string archive = stat(defaultLocation.c_str(), &st) == 0 ? defaultLocation
                                                                 : findVersionedArchive(defaultLocation);
  if (!archive.empty()) {
    // Opened once: what is checked is what is unpacked, whatever happens to
    // the name in between.
    int fd = open(archive.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    SourcedAgent agent;
    if (isTrusted(fd, archive, callback))
      agent = unpack(fd < 0 ? archive : "/dev/fd/" + std::to_string(fd), workDir, callback);
    else
      callback("Failed to initialize the install agent.", true);
    if (fd >= 0) close(fd);
    return agent;
  }

  AgentCache().prepare();
  std::string target = workDir + pathSeparator + installAgentZipName;
  HandOffResult fetched = download(target.c_str(), callback);
  switch (fetched.kind) {
    case HandOffResult::Kind::AgentStarted:
      return {getInstallAgentExecutable(installAgentDirOnDisk()), fetched.agent};
    case HandOffResult::Kind::ArchiveLeft:
      // The cache could not be used: the agent runs from the work directory
      // and the run waits for it. The download application verified it.
      return unpack(target, workDir, callback, true);
    case HandOffResult::Kind::Failed:
      break;
  }
  return {};
}
