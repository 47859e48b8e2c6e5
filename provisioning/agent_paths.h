// Where the install agent lies: shipped in the bundle, or cached per user.
#pragma once

#include <string>

#include "platform/result.h"

// agentDir + "/install" (no separator added to an empty or "/"-ended dir).
std::string getInstallAgentExecutable(std::string agentDir);
// $HOME (or "/tmp"), with a "/" added unless it is one character long.
std::string getInstallAgentCacheBase();
// getInstallAgentCacheBase() + installAgentCacheSubdir; always ends with "/".
std::string getInstallAgentCacheDir();
// The cached agent directory (ending with "/") when its install script is
// there (a regular file, or a link that resolves to a regular file below
// it); empty otherwise. The second form looks in the given cache directory.
std::string installAgentDirOnDisk();
std::string installAgentDirOnDisk(const std::string& cacheDir);
// Whether `agentDir`, just unpacked, holds its install script; why not in
// one line for the user and the vendor, naming a folder that was zipped
// instead of its contents (its <folder>/install) or where a link leads.
enum class ScriptCode { Ok, Missing, ZippedFolder, NotRegular, LinksToNothing, LinksOutside };
using ScriptStatus = platform::Status<ScriptCode>;
ScriptStatus checkInstallScript(const std::string& agentDir);
// Resources + "/InstallAgent.zip"; empty without a bundle or resources.
std::string getDefaultInstallAgentLocation();
