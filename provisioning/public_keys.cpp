// What this installer trusts, from the build's configuration: the public
// keys, and the oldest signed timestamp it accepts.
#include "installer_keys.h"

extern const char* const kInstallerPublicKeys;
const char* const kInstallerPublicKeys = INSTALLER_PUBLIC_KEYS;
extern const long long kInstallerMinAgentTimestamp;
const long long kInstallerMinAgentTimestamp = INSTALLER_MIN_AGENT_TIMESTAMP;
