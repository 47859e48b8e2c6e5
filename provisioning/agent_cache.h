// The per-user cache of the install agent. Everything about it lives here:
// where it is, whether it may be trusted, its lock, the recorded tag, whether
// a complete agent is there, and putting a new agent in place.
//
//   <cache>/installagent/     the unpacked agent; complete when it holds "install"
//   <cache>/.validatestring   the server's tag for it
//   <cache>/.minisig          the signature it was installed with (signed builds)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "hostenv/report.h"

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
  // Whether every directory from "/" down to the cache (the agent directory
  // when there is one) belongs to the user or to root and nobody else can
  // write it, a sticky one like /tmp aside when what is below it is the
  // user's: only then is a cached agent trusted or a new one put there.
  bool isPrivate() const;

  // Two runs take turns: the cache is used only while the lock is held.
  enum class LockState { Held, Busy, Unavailable };
  LockState lock();
  void unlock();

  // The complete agent's directory (ending with "/"), or empty.
  std::string completeAgent() const;
  // The tag recorded for a complete agent: what a conditional request names.
  std::optional<std::string> recordedTag() const;
  // A complete agent whose recorded tag is `tag`.
  bool holdsAgentTagged(const std::string& tag) const;

  // The signed timestamp of the agent installed last, kept across updates
  // so that an older signed agent is never installed over a newer one.
  std::optional<int64_t> installedTimestamp() const;

  // Removes a stale agent; its tag, now without an agent, vouches for nothing.
  void removeAgent();
  // Unpacks `archive` beside the agent directory, checks that it brought its
  // install script, swaps it in, and records `tag` last: a failed or
  // interrupted install never leaves an agent that a later run would trust.
  // A verified agent's `signature` is kept beside it. Needs the lock.
  bool install(const std::string& archive, const std::string& tag, const std::string& signature,
               ErrorCallback callback);

 private:
  std::string directory_;  // the cache directory, ending with "/"; resolved when it exists
  bool resolved_ = false;
  std::unique_ptr<platform::DirectoryLock> lock_;
};
