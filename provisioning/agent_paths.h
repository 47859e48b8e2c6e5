// Where the install agent lies: shipped in the bundle, or cached per user.
#pragma once

#include <string>

// agentDir + "/install" (no separator added to an empty or "/"-ended dir).
std::string getInstallAgentExecutable(std::string agentDir);
// $HOME (or "/tmp"), with a "/" added unless it is one character long.
std::string getInstallAgentCacheBase();
// getInstallAgentCacheBase() + installAgentCacheSubdir; always ends with "/".
std::string getInstallAgentCacheDir();
// The cached agent directory (ending with "/") when its install script is
// there (see holdsInstallScript); empty otherwise. The second form looks in
// the given cache directory.
std::string installAgentDirOnDisk();
std::string installAgentDirOnDisk(const std::string& cacheDir);
// Whether `agentDir` holds an install script: a regular file, or a link
// that resolves to a regular file below `agentDir` (resolved too).
bool holdsInstallScript(const std::string& agentDir);
// Why `agentDir`, just unpacked, holds no install script: one line for
// the user and the vendor, naming a folder that was zipped instead of its
// contents (its <folder>/install) or where a link leads. Empty when the
// script is there.
std::string missingInstallScript(const std::string& agentDir);
// Resources + "/InstallAgent.zip"; empty without a bundle or resources.
std::string getDefaultInstallAgentLocation();
