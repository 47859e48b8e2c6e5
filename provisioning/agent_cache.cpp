#include "provisioning/agent_cache.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "hostenv/mkpath.h"
#include "platform/file_manager.h"
#include "platform/system_log.h"
#include "provisioning/agent_paths.h"
#include "provisioning/agent_trust.h"
#include "provisioning/archive_extraction.h"
#include "provisioning/build_constants.h"
#include "provisioning/validation_file.h"

namespace {
const std::string kStagingPrefix = installAgentDirName + ".new-";
const std::string kSignatureName = ".minisig";

}  // namespace

AgentCache::AgentCache() : directory_(getInstallAgentCacheDir()) {
  std::string resolved = platform::resolvePath(directory_);
  resolved_ = !resolved.empty();
  if (resolved_) directory_ = resolved + (resolved == "/" ? "" : "/");
}
AgentCache::~AgentCache() = default;

std::string AgentCache::agentDirectory() const { return directory_ + installAgentDirName; }

void AgentCache::prepare() const {
  // Not in a home that someone else controls (root with another user's
  // HOME): the cache would not be used there anyway. A home that does not
  // exist yet is judged by the directory it would be made in.
  std::string existing = platform::existingAncestor(getInstallAgentCacheBase());
  if (platform::isTrustedDirectoryPath(platform::resolvePath(existing))) mkpath(agentDirectory(), 0700);
}

bool AgentCache::isPrivate() const {
  if (!resolved_) return false;
  // The agent directory is ours to make when it is missing; when it is
  // there, it has to be private too (and not a link).
  struct stat st;
  std::string deepest = lstat(agentDirectory().c_str(), &st) == 0 ? agentDirectory() : directory_;
  return platform::isTrustedDirectoryPath(deepest);
}

AgentCache::LockState AgentCache::lock() {
  if (lock_) return LockState::Held;
  auto lock = std::make_unique<platform::DirectoryLock>(directory_);
  if (lock->busy()) return LockState::Busy;
  if (!lock->held()) return LockState::Unavailable;
  lock_ = std::move(lock);
  return LockState::Held;
}

void AgentCache::unlock() { lock_.reset(); }

std::string AgentCache::completeAgent() const { return installAgentDirOnDisk(directory_); }

std::optional<std::string> AgentCache::recordedTag() const {
  if (completeAgent().empty()) return std::nullopt;
  return readValidationString(directory_);
}

bool AgentCache::holdsAgentTagged(const std::string& tag) const {
  return !completeAgent().empty() && isCacheValid(directory_, tag);
}

std::optional<int64_t> AgentCache::installedTimestamp() const {
  std::string text, why;
  if (!readSignatureFile(directory_ + kSignatureName, &text, &why)) return std::nullopt;
  return signedTimestamp(text);
}

void AgentCache::removeAgent() { platform::removeItemAtPath(agentDirectory()); }

bool AgentCache::install(const std::string& archive, const std::string& tag, const std::string& signature,
                         ErrorCallback callback) {
  if (!lock_) return false;
  // What a run killed while unpacking left behind; nobody unpacks now, we hold the lock.
  for (const std::string& name : platform::directoryEntries(directory_))
    if (name.compare(0, kStagingPrefix.size(), kStagingPrefix) == 0) platform::removeItemAtPath(directory_ + name);
  std::string staging = directory_ + kStagingPrefix + "XXXXXX";
  if (!mkdtemp(staging.data())) return false;
  bool complete = unzipInstallAgent(archive, staging, "unzip", callback);
  if (complete && !holdsInstallScript(staging)) {
    platform::systemLog(missingInstallScript(staging));
    complete = false;
  }
  if (complete) {
    removeAgent();
    removeValidationString(directory_);
    complete = std::rename(staging.c_str(), agentDirectory().c_str()) == 0;
  }
  if (!complete) {
    platform::removeItemAtPath(staging);
    return false;
  }
  if (!signature.empty() && !platform::replaceFile(directory_ + kSignatureName, signature)) return false;
  writeValidationString(directory_, tag);
  return true;
}
