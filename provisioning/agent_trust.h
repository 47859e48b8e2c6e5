// Whether an agent archive comes from the vendor: a minisign signature by
// one of the public keys built into the installer. A build without keys
// trusts every archive, as an installer without signatures always did.
#pragma once

#include <string>

#include "provisioning/agent_signature.h"

// The keys given to the build (INSTALLER_PUBLIC_KEYS).
const PublicKeys& builtInKeys();
inline bool signaturesRequired() { return !builtInKeys().keys.empty() || !builtInKeys().error.empty(); }

// A signature file's text: read without following a link, only from a
// regular file, and no more than a signature can be. False with the reason.
bool readSignatureFile(const std::string& path, std::string* text, std::string* why);

// The file name a signature must name for the archive at `address`: its
// last path component, without query or fragment.
std::string signedNameOf(const std::string& address);

// Checks the archive at `path`, as open on `fd`, against `path`.minisig,
// signed for its own file name. Empty when trusted, else the reason.
std::string verifyArchiveFile(int fd, const std::string& path);
