// Whether an install agent may be unpacked or started: the one gate every
// road passes, whether the agent was shipped, downloaded or cached. In a
// build with keys an agent needs a minisign signature by one of the keys
// built into the installer, for the name the road expects, no older than
// the freshness floor. A build without keys trusts every agent, as an
// installer without signatures always did.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "provisioning/agent_signature.h"

// The keys given to the build (INSTALLER_PUBLIC_KEYS).
const PublicKeys& builtInKeys();
inline bool signaturesRequired() { return !builtInKeys().keys.empty() || !builtInKeys().error.empty(); }

// The oldest signed timestamp an agent may carry.
struct AgentFloor {
  int64_t build = 0;  // the build's own (INSTALLER_MIN_AGENT_TIMESTAMP)
  int64_t kept = 0;   // the newest agent this user ever installed from a download
};
// A signed timestamp as a person reads it: the day, in UTC ("2026-11-02").
std::string signedDate(int64_t timestamp);

// The build's floor, with no kept one: what a shipped agent must reach.
AgentFloor buildFloor();

// The gate. Ok when the agent whose archive hashes to `digest` may run
// on the strength of `signature` (the text of its .minisig), signed for
// `expectedFile`; else why not, as "bad signature: ...". Always Ok in a
// build without keys. `keys` are the built-in ones but in tests.
GateStatus admitAgent(std::string_view signature, const Blake2bDigest& digest, const std::string& expectedFile,
                       const AgentFloor& floor, const PublicKeys& keys = builtInKeys());

// The signed timestamp of a signature kept as a floor, when its trusted
// comment verifies under the current keys for `expectedFile`; 0 otherwise,
// so that a floor nobody signed raises nothing.
int64_t keptFloorOf(std::string_view signature, const std::string& expectedFile,
                    const PublicKeys& keys = builtInKeys());

// Whether a refusal may pass when the archive and its signature are fetched
// once more: only a signature made for another archive, as while a release
// is being published.
inline bool mayPassOnRefetch(GateCode code) { return code == GateCode::SignatureMismatch; }

// A file this run wrote into its private work directory, hashed on the way
// (a single file's parts): the gate takes its digest instead of reading the
// archive again, as long as it is still that file, unchanged (same inode,
// size and times).
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::array<int64_t, 4> times{};  // modified and changed, seconds and nanoseconds
  bool operator==(const FileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size && times == other.times;
  }
};
// The stamp of what `st` describes, and of the file open on `fd`.
FileStamp stampOf(const struct stat& st);
std::optional<FileStamp> stampOf(int fd);
struct WrittenFile {
  FileStamp stamp;
  Blake2bDigest digest{};
};
using WrittenFiles = std::vector<WrittenFile>;

// The gate for a shipped archive open on `fd` at `path`: its signature lies
// beside it (path + ".minisig"), signed for `name`, at or above the build's
// floor. Its digest comes from `written` when this run wrote it. Ok when it
// may be unpacked, else why not.
GateStatus admitShippedArchive(int fd, const std::string& path, const std::string& name,
                               const WrittenFiles& written = {});
