#include "bootstrap/bootstrap.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "download/handoff.h"
#include "hostenv/location.h"
#include "hostenv/temp_dir.h"
#include "launch/agent_launch.h"
#include "platform/main_bundle.h"
#include "platform/task.h"
#include "platform/termination.h"
#include "provisioning/agent_sourcing.h"
#include "provisioning/payload.h"

platform::Result<WrittenFiles, PayloadCode> extractPayloadToDir(std::string directory, ErrorCallback callback) {
  if (!carriesPayload()) return WrittenFiles{};
  platform::Result<WrittenFiles, PayloadCode> written = unpackPayload(platform::executablePath(), directory);
  if (!written) {
    callback(written.message(), true);
    return written;
  }
  platform::useUnpackedResources(directory);
  return written;
}

int mainFcn(int argc, const char* const* argv, ErrorCallback callback) {
  // Without its own location the run would look for the shipped agent and
  // the product archive in the wrong places.
  if (getPathToExecutable().empty()) {
    callback("Cannot find the installer's own location.", true);
    return -1;
  }
  // Removed when the run is over, after the agent has returned. Beside the
  // bundle (a single file: beside it) only when no temporary directory is
  // usable, and private there too. A single file unpacks into it whatever
  // the environment says, and loads its modules from there. A shipped
  // agent may run its helpers from it, so a bundle prefers a place where
  // code may run too, but makes do with one where it may not.
  bool singleFile = carriesPayload();
  TempDir tempDir(singleFile ? getPathToExecutable() : getDirectoryOfExecutable(),
                  singleFile ? TempDir::Exec::Required : TempDir::Exec::Preferred);
  std::string workDir = tempDir.getDir();
  if (std::getenv("__QV_BOOTSTRAP_INSTALLER_UNITTEST__") && !singleFile) {
    workDir = getDirectoryOfExecutable();
  } else if (workDir.empty()) {
    callback("Cannot create a private working directory.", true);
    return -1;
  }

  platform::Result<WrittenFiles, PayloadCode> written = extractPayloadToDir(workDir, callback);
  if (!written) {
    callback("Internal error: Failed to initialize application installer (" +
                 std::to_string(static_cast<int>(written.code())) + ")",
             true);
    return -1;
  }

  std::vector<std::string> userArguments(argv + std::min(argc, 1), argv + argc);
  SourcedAgent agent = sourceInstallAgent(workDir, *written, userArguments, callback, downloadInstallAgentFromQV);
  if (agent.running) {
    // Started from the download window: the run ends with the agent, as it
    // does when it is started below.
    platform::waitForProcess(*agent.running);
    return 0;
  }
  if (agent.path.empty()) return -1;
  if (platform::terminationRequested()) return -1;  // interrupted while the agent was made ready

  if (!fireInstallAgentWithArgs(agent.path, getBundleLocation(), userArguments, callback)) {
    callback("Failed to start the instal agent", true);
    return -1;
  }
  return 0;
}
