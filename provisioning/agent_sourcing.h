// Deciding where the install agent comes from and making it ready to run.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "hostenv/report.h"
#include "provisioning/agent_trust.h"

// What the download road hands back to sourcing.
struct HandOffResult {
  enum class Kind {
    Failed,        // cancelled, or the download or its install failed: no agent
    AgentStarted,  // the download application started the agent: `agent` runs
    ArchiveLeft,   // the cache could not be used: `archive` is the verified archive, open
  };
  Kind kind = Kind::Failed;
  pid_t agent = -1;
  int archive = -1;  // ArchiveLeft: the receiver unpacks it and closes it
};

class AgentCache;

// Fetches the agent archive to `destination`, through `cache` (already
// judged: its trust walk is not repeated); an agent it starts gets `userArguments`.
using DownloadStep = HandOffResult (*)(const char* destination, AgentCache& cache,
                                       const std::vector<std::string>& userArguments, ErrorCallback callback);

struct SourcedAgent {
  std::string path;               // the agent's install script; empty on failure
  std::optional<pid_t> running;   // already started (by the download application)
};

// Of a resource directory's entries, in listing order: InstallAgent.zip,
// else the first InstallAgent_*.zip; empty when none is there.
std::string chooseShippedArchive(const std::vector<std::string>& names);

// Shipped InstallAgent.zip, else the first InstallAgent_*.zip beside it,
// both unpacked into workDir; else the per-user cache, refreshed by `download`.
// `written`: the files this run wrote into workDir, whose digests the gate takes.
SourcedAgent sourceInstallAgent(const std::string& workDir, const WrittenFiles& written,
                                const std::vector<std::string>& userArguments, ErrorCallback callback,
                                DownloadStep download);
