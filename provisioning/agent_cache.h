// The per-user cache of the install agent. Everything about it lives here:
// where it is, whether it may be trusted, its lock, the recorded tag, whether
// a complete agent is there, and putting a new agent in place.
//
//   <cache>/installagent/     the unpacked agent; complete when it holds "install"
//   <cache>/.validatestring   the server's tag for it
//   <cache>/.source           the address that served it, whose tag that is, when not the first asked
//   <cache>/.minisig          the signature it was installed with (signed builds)
//   <cache>/.digest           the digest of the archive it came from, and which directory that was
//   <cache>/.floor.minisig    the signature of the newest agent ever installed here
//   <cache>/.refused          the tag, reason and signature of a download refused here
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostenv/report.h"
#include "platform/trust_rule.h"
#include "provisioning/agent_trust.h"

namespace platform {
class DirectoryLock;
}

class AgentCache {
 public:
  // The directory is fixed now, from HOME, with its links resolved once:
  // every later step works on that path, so nobody can swap a link under it.
  AgentCache();
  ~AgentCache();
  AgentCache(const AgentCache&) = delete;
  AgentCache& operator=(const AgentCache&) = delete;

  // Where the agent is unpacked (no trailing "/").
  std::string agentDirectory() const;

  // Creates the cache's directories that are missing, mode 0700, when the
  // home directory is one the cache could be trusted in.
  void prepare() const;
  // Whether the cache may be used: it exists and the trust rule passes it
  // (platform::trustedDirectory, down to the agent directory when there is
  // one). Only then is a cached agent trusted or a new one put there.
  platform::TrustStatus usable() const;

  // Two runs take turns: the cache is used only while the lock is held.
  enum class LockState { Held, Busy, Unavailable };
  LockState lock();
  void unlock();

  // The complete agent's directory (ending with "/") when it may run: in a
  // build with keys only when the gate passes the signature it was
  // installed with, for the archive it was unpacked from. Empty otherwise.
  // Vouched for once: later calls only look (lstat) whether the files it
  // was read from are still those files, so a cache hit reads the kept
  // signature once and hands the launch what was vouched for.
  std::string vouchedAgent() const;
  // The tag recorded for such an agent: what a conditional request names.
  std::optional<std::string> recordedTag() const;
  // A vouched agent whose recorded tag is `tag`.
  bool holdsAgentTagged(const std::string& tag) const;
  // The address that served such an agent; nothing when that was the first
  // one asked (or for an agent installed before addresses were recorded).
  std::optional<std::string> recordedSource() const;
  // The signature such an agent was installed with (a build with keys).
  std::optional<std::string> keptSignature() const;

  // The oldest signed timestamp a downloaded or cached agent may carry: the
  // build's floor, raised by the newest agent ever installed here (read
  // only from a private cache, and only when its signature verifies).
  AgentFloor floor() const;

  // The day the installed agent's kept signature was signed, when it verifies.
  std::optional<int64_t> installedSignedAt() const;

  // A downloaded archive that was refused while a vouched agent stayed
  // (by the gate, or because it would not unpack), kept so that a later run
  // learns from the server's tag and the signature alone that it is still
  // offered, and never fetches its body again for nothing.
  struct Refusal {
    std::string tag;        // the archive's ETag, never empty
    std::string why;        // one line
    std::string signature;  // the signature it came with; empty when none could be had
  };
  std::optional<Refusal> refusal() const;  // from a private cache only
  void recordRefusal(const Refusal& refusal);  // needs the lock

  // Unpacks the archive open on `archiveFd` beside the agent directory,
  // checks that it brought its install script, and only then swaps it in,
  // once what vouched for the old agent is gone for good: the new agent's
  // directory, which nothing vouches for until keep() has recorded it. So
  // a failed or interrupted install never leaves an agent a later run would
  // trust, and a refused one leaves the old agent as it was. Needs the lock.
  // NoInstallScript: it unpacked, and is not an agent (the archive's own
  // fault, the same at every try); Failed: anything else (unzip, the disk).
  // The message is the reason for the log line.
  enum class Code { Ok, NoInstallScript, Failed };
  platform::Result<std::string, Code> install(int archiveFd, ErrorCallback callback);
  // After install, also while its agent already runs: the new agent is
  // made to outlast a power cut, then what vouches for it (the `signature`
  // and `digest` it was verified with, a build with keys only) is written
  // and the tag last. Without that, a later run downloads it again. Needs
  // the lock.
  platform::Status<Code> keep(const std::string& tag, const std::string& source, const std::string& signature,
                              const Blake2bDigest& digest);

 private:
  bool swapIn(const std::string& staging);
  std::string digestRecord(const Blake2bDigest& digest) const;

  // What vouched for the agent, read once, and the stamps of the files it
  // was read from: gone when one of them changed.
  struct Vouched {
    std::string directory;  // empty when the gate refused it
    std::optional<std::string> tag, source, signature;
    std::optional<int64_t> signedAt;
    std::vector<std::optional<FileStamp>> stamps;
  };
  std::vector<std::optional<FileStamp>> stamps() const;
  const Vouched& vouch() const;

  std::string directory_;  // the cache directory, ending with "/"; resolved when it exists
  bool resolved_ = false;
  // A path found trusted: only the user or root could change that later.
  mutable std::string trusted_;
  mutable std::optional<Vouched> vouched_;
  std::unique_ptr<platform::DirectoryLock> lock_;
};
