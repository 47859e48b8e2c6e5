// What this installer trusts and where it asks, from the build's
// configuration: the public keys, the oldest signed timestamp it accepts,
// the download server's root with its mirrors' (separated by blanks), and
// how long a server may keep it waiting.
#include "installer_settings.h"

extern const char* const kInstallerPublicKeys;
const char* const kInstallerPublicKeys = INSTALLER_PUBLIC_KEYS;
extern const long long kInstallerMinAgentTimestamp;
const long long kInstallerMinAgentTimestamp = INSTALLER_MIN_AGENT_TIMESTAMP;
extern const char* const kInstallerDownloadBase;
const char* const kInstallerDownloadBase = INSTALLER_DOWNLOAD_BASE_URL;
extern const char* const kInstallerDownloadMirrors;
const char* const kInstallerDownloadMirrors = INSTALLER_DOWNLOAD_MIRRORS;
extern const long connectTimeoutSeconds;
const long connectTimeoutSeconds = INSTALLER_CONNECT_SECONDS;
extern const long stallSeconds;
const long stallSeconds = INSTALLER_STALL_SECONDS;
