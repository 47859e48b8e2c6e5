// Where the install agent lies: shipped in the bundle, or cached per user.
#pragma once

#include <string>

// agentDir + "/install" (no separator added to an empty or "/"-ended dir).
std::string getInstallAgentExecutable(std::string agentDir);
// $HOME (or "/tmp"), with a "/" added unless it is one character long.
std::string getInstallAgentCacheBase();
// getInstallAgentCacheBase() + installAgentCacheSubdir; always ends with "/".
std::string getInstallAgentCacheDir();
// The cached agent directory (ending with "/") when its install script
// exists; empty otherwise.
std::string installAgentDirOnDisk();
// Resources + "/InstallAgent.zip"; empty without a bundle or resources.
std::string getDefaultInstallAgentLocation();
