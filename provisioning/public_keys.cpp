// The public keys this installer trusts, from the build's configuration.
#include "installer_keys.h"

extern const char* const kInstallerPublicKeys;
const char* const kInstallerPublicKeys = INSTALLER_PUBLIC_KEYS;
