#include "provisioning/agent_cache.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "hostenv/mkpath.h"
#include "platform/file_manager.h"
#include "platform/system_log.h"
#include "platform/trust_rule.h"
#include "provisioning/agent_paths.h"
#include "provisioning/agent_trust.h"
#include "provisioning/archive_extraction.h"
#include "provisioning/build_constants.h"
#include "provisioning/validation_file.h"

namespace {
const std::string kStagingPrefix = installAgentDirName + ".new-";
const std::string kSignatureName = ".minisig";
const std::string kDigestName = ".digest";
const std::string kFloorName = ".floor.minisig";
const std::string kRefusalName = ".refused";
const std::string kSourceName = ".source";

std::optional<std::string> readSignature(const std::string& path) {
  // One byte more than a signature can be: the gate refuses it by its size.
  return platform::readSmallFile(path, kMaxSignatureBytes + 1);
}

std::string hex(const Blake2bDigest& digest) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t byte : digest) {
    out += digits[byte >> 4];
    out += digits[byte & 15];
  }
  return out;
}

std::optional<Blake2bDigest> fromHex(const std::string& text) {
  Blake2bDigest digest;
  if (text.size() != 2 * digest.size()) return std::nullopt;
  for (size_t i = 0; i < digest.size(); ++i) {
    auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return digest;
}

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
  // exist yet is judged by the directory it would be made in; a sticky one
  // like /tmp (HOME unset) will do, since what is made in it is ours alone,
  // and usable() judges what stands there afterwards.
  struct stat st;
  if (lstat(agentDirectory().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;  // nothing to make
  std::string existing = platform::existingAncestor(agentDirectory());
  // What could not be made shows when usable() judges what stands there.
  if (platform::mayHoldPrivateDirectory(platform::resolvePath(existing))) (void)mkpath(agentDirectory(), 0700);
}

platform::TrustStatus AgentCache::usable() const {
  if (!resolved_) {
    // Never made: say what stood in the way, where that is the trust rule.
    std::string existing = platform::resolvePath(platform::existingAncestor(directory_));
    platform::TrustStatus above = platform::mayHoldPrivateDirectory(existing);
    return above ? platform::TrustStatus(platform::TrustCode::Unexaminable, "it cannot be created") : above;
  }
  // The agent directory is ours to make when it is missing; when it is
  // there, it has to be private too (and not a link).
  struct stat st;
  std::string deepest = lstat(agentDirectory().c_str(), &st) == 0 ? agentDirectory() : directory_;
  if (deepest == trusted_) return {};
  platform::TrustStatus trusted = platform::trustedDirectory(deepest);
  if (!trusted) return trusted;
  trusted_ = deepest;
  return {};
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

// The digest is tied to the agent directory it vouches for: an installer
// that knows nothing of it (an older or unsigned build) replacing the agent
// makes a new directory, and the record then vouches for nothing.
std::string AgentCache::digestRecord(const Blake2bDigest& digest) const {
  std::string identity = platform::fileIdentity(agentDirectory());
  return identity.empty() ? std::string() : hex(digest) + " " + identity + "\n";
}

// Everything a vouching reads, or whose change would change it: renamed
// into place or removed when written, so a new file is a new inode.
std::vector<std::optional<FileStamp>> AgentCache::stamps() const {
  std::vector<std::optional<FileStamp>> stamps;
  for (const std::string& name : {kSignatureName, kDigestName, kFloorName, validationFileName, kSourceName,
                                  installAgentDirName, installAgentDirName + "/install"}) {
    struct stat st;
    stamps.push_back(lstat((directory_ + name).c_str(), &st) != 0 ? std::nullopt
                                                                   : std::optional<FileStamp>(stampOf(st)));
  }
  return stamps;
}

const AgentCache::Vouched& AgentCache::vouch() const {
  std::vector<std::optional<FileStamp>> now = stamps();
  if (vouched_ && vouched_->stamps == now) return *vouched_;
  Vouched& vouched = vouched_.emplace();
  vouched.directory = installAgentDirOnDisk(directory_);
  vouched.stamps = now;
  if (!vouched.directory.empty() && signaturesRequired()) {
    std::optional<std::string> signature = readSignature(directory_ + kSignatureName);
    std::optional<std::string> record = platform::readSmallFile(directory_ + kDigestName, 256);
    std::optional<Blake2bDigest> digest = record ? fromHex(record->substr(0, record->find(' '))) : std::nullopt;
    if (!signature || !digest || *record != digestRecord(*digest) ||
        !admitAgent(*signature, *digest, installAgentFileName, floor()))
      vouched.directory.clear();
    else
      vouched.signature = signature;
    if (int64_t signedAt = vouched.signature ? keptFloorOf(*signature, installAgentFileName) : 0; signedAt > 0)
      vouched.signedAt = signedAt;
  }
  if (!vouched.directory.empty()) {
    vouched.tag = readValidationString(directory_);
    // An address is one line; anything else records none.
    std::optional<std::string> source = platform::readSmallFile(directory_ + kSourceName, 4096);
    if (source && !source->empty() && source->find('\n') == std::string::npos) vouched.source = source;
  }
  return vouched;
}

std::string AgentCache::vouchedAgent() const { return vouch().directory; }

std::optional<std::string> AgentCache::recordedTag() const { return vouch().tag; }

bool AgentCache::holdsAgentTagged(const std::string& tag) const { return !tag.empty() && vouch().tag == tag; }

std::optional<std::string> AgentCache::recordedSource() const { return vouch().source; }

std::optional<std::string> AgentCache::keptSignature() const { return vouch().signature; }

AgentFloor AgentCache::floor() const {
  AgentFloor floor = buildFloor();
  if (!usable()) return floor;  // someone else's floor could block every install
  if (std::optional<std::string> kept = readSignature(directory_ + kFloorName))
    floor.kept = keptFloorOf(*kept, installAgentFileName);
  return floor;
}

std::optional<int64_t> AgentCache::installedSignedAt() const { return vouch().signedAt; }

// The tag and the reason on a line each, then the signature as it came.
std::optional<AgentCache::Refusal> AgentCache::refusal() const {
  if (!usable()) return std::nullopt;
  // Room for a tag, a reason and a signature at their longest.
  std::optional<std::string> text = platform::readSmallFile(directory_ + kRefusalName, 64 * 1024);
  size_t first = text ? text->find('\n') : std::string::npos;
  size_t second = first == std::string::npos ? first : text->find('\n', first + 1);
  if (second == std::string::npos || first == 0) return std::nullopt;
  return Refusal{text->substr(0, first), text->substr(first + 1, second - first - 1), text->substr(second + 1)};
}

void AgentCache::recordRefusal(const Refusal& refusal) {
  // A header value holds no line break; a reason may quote a server's bytes.
  if (!lock_ || refusal.tag.empty() || refusal.tag.find('\n') != std::string::npos) return;
  platform::replaceFile(directory_ + kRefusalName,
                        refusal.tag + "\n" + platform::escapeControlBytes(refusal.why) + "\n" + refusal.signature);
}

// The new agent takes the old one's place in one step (the old one then
// sits in `staging`, and goes); a file system that cannot exchange gets a
// removal and a rename.
bool AgentCache::swapIn(const std::string& staging) {
  const std::string target = agentDirectory();
  struct stat st;
  if (lstat(target.c_str(), &st) == 0 &&
      renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    platform::removeItemAtPath(staging);
    return true;
  }
  platform::removeItemAtPath(target);
  return std::rename(staging.c_str(), target.c_str()) == 0;
}

platform::Result<std::string, AgentCache::Code> AgentCache::install(int archiveFd, ErrorCallback callback) {
  const platform::Status<Code> failed(Code::Failed, "the new agent could not be unpacked");
  if (!lock_) return failed;
  // What a run killed while unpacking or writing a file here left behind;
  // nobody writes now, we hold the lock.
  for (const std::string& name : platform::directoryEntries(directory_)) {
    bool temporary = false;
    for (const std::string& kept : {validationFileName, kSourceName, kSignatureName, kDigestName, kFloorName, kRefusalName})
      temporary = temporary || (name.size() == kept.size() + 7 && name.compare(0, kept.size() + 1, kept + ".") == 0);
    if (temporary || name.compare(0, kStagingPrefix.size(), kStagingPrefix) == 0)
      platform::removeItemAtPath(directory_ + name);
  }
  std::string staging = directory_ + kStagingPrefix + "XXXXXX";
  if (!mkdtemp(staging.data())) return failed;
  UnzipStatus unpacked = unpackAgentArchive(archiveFd, staging, callback, Unpacked::Kept);
  if (unpacked.code() == UnzipCode::NoInstallScript) {
    platform::systemLog(unpacked.message());
    platform::removeItemAtPath(staging);
    return platform::Status<Code>(Code::NoInstallScript, "the new agent has no install script");
  }
  if (!unpacked) {
    platform::removeItemAtPath(staging);
    return failed;
  }
  // What vouched for the old agent goes before it does, for good before the swap.
  removeValidationString(directory_);
  std::remove((directory_ + kSourceName).c_str());
  std::remove((directory_ + kDigestName).c_str());
  std::remove((directory_ + kSignatureName).c_str());
  if (!platform::syncDirectory(directory_) || !swapIn(staging)) {
    platform::removeItemAtPath(staging);
    return failed;
  }
  std::string agent = installAgentDirOnDisk(directory_);
  if (agent.empty()) return failed;
  return agent;
}

platform::Status<AgentCache::Code> AgentCache::keep(const std::string& tag, const std::string& source,
                                                    const std::string& signature, const Blake2bDigest& digest) {
  const platform::Status<Code> failed(Code::Failed, "the new agent could not be written to disk");
  // On disk before anything vouches for it: a power cut must not leave a
  // record standing for an agent with empty files.
  if (!lock_ || !platform::syncTree(agentDirectory())) return failed;
  // Where there are no birth times, the digest's record ties to this stamp.
  platform::stampIdentity(agentDirectory());
  // Each file is synced with its folder as it is written, so they outlast a crash in this order.
  if (!signature.empty()) {
    if (!platform::replaceFile(directory_ + kSignatureName, signature) ||
        !platform::replaceFile(directory_ + kDigestName, digestRecord(digest)))
      return failed;
    AgentFloor kept = floor();
    if (keptFloorOf(signature, installAgentFileName) > kept.kept) platform::replaceFile(directory_ + kFloorName, signature);
  }
  // Whose tag it is goes before the tag: a tag never stands with another host's address.
  if (!tag.empty() && !source.empty() && source.find('\n') == std::string::npos)
    platform::replaceFile(directory_ + kSourceName, source);
  writeValidationString(directory_, tag);
  std::remove((directory_ + kRefusalName).c_str());  // what the server offers now was taken
  return {};
}
