// The cache's validation file: the server's ETag of the cached agent, alone
// in "<dir>/.validatestring".
#pragma once

#include <optional>
#include <string>

// True when the file's first line is exactly `tag`. Never true for an empty
// tag (with a non-empty directory).
bool isCacheValid(std::string directory, std::string tag);
// The recorded tag (the file's first line); nothing when there is no file
// or it is empty.
std::optional<std::string> readValidationString(std::string directory);
// Records `tag`; does nothing for an empty directory or tag. Failures are silent.
void writeValidationString(std::string directory, std::string tag);
// Forgets the recorded tag, before the cache's agent is replaced.
void removeValidationString(std::string directory);
