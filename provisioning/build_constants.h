// Names and addresses fixed when the installer is built (see the INSTALLER_*
// CMake cache variables).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hostenv/location.h"  // pathSeparator

extern const std::string releaseName;              // e.g. "7.16.0"
extern const std::string archName;                 // e.g. "darw64"
extern const std::string cacheFolderName;          // ".velmor": the cache below home
extern const std::string installAgentZipName;      // "InstallAgent.zip"
extern const std::string installAgentFileName;     // "pi_install_agent_pi_" + release + "_" + arch: what its signature names
extern const std::string installAgentUrl;          // base + installAgentFileName
// The built-in mirrors' addresses of the same file, in the order they are asked.
std::vector<std::string> installAgentMirrorUrls();
extern const std::string installAgentDirName;      // "installagent"
extern const std::string installAgentCacheSubdir;  // ".velmor/installagent/<release>/<arch>/"
extern const std::string validationFileName;       // ".validatestring"
extern const std::string windowTitle;
extern const unsigned long long maxUnpackedBytes;   // an agent archive's largest unpacked size
extern const unsigned long long maxArchiveEntries;  // and its most entries
extern const int downloadRetries;        // further attempts after a failure that may pass
extern const double retryBaseSeconds;    // the first back-off, doubled each time
extern const unsigned long long maxArchiveBytes;  // the largest archive a download may write
extern const int maxArchiveRequests;               // requests for the archive in one run
extern const double downloadDeadlineSeconds;       // the whole download, waits included
// From the executable's own settings (installer_settings.cpp): a server that
// takes no connection this long, or sends less than 1 kB a second this long,
// is left for the next.
extern const long connectTimeoutSeconds;
extern const long stallSeconds;
// The bundle's name with blanks (spaces and tabs) as '-' ("Acme-Setup"), as
// the build makes it: the product in the User-Agent, the identifier of the
// installer's lines in the system log, and the single file's name.
extern const std::string productToken;
// "Acme-Setup/2.1.0 (linux64) bootstrap-installer/1.0": a vendor's server
// logs tell products, releases, platforms and installer versions apart.
extern const std::string userAgent;
