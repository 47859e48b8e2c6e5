// Where the install agent lies: shipped in the bundle, or cached per user.
#pragma once

#include <string>

// agentDir + "/install" (no separator added to an empty or "/"-ended dir).
std::string getInstallAgentExecutable(std::string agentDir);
// $HOME (or "/tmp") + installAgentCacheSubdir; always ends with "/".
std::string getInstallAgentCacheDir();
// Whether the cache's directories below the home directory (or /tmp) are
// the user's own and nobody else can write them: only then is a cached agent
// trusted, or a downloaded one put there.
bool isInstallAgentCachePrivate();
// The cached agent directory (ending with "/") when its install script
// exists; empty otherwise.
std::string installAgentDirOnDisk();
// Resources + "/InstallAgent.zip"; empty without a bundle or resources.
std::string getDefaultInstallAgentLocation();
