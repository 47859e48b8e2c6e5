// Checking a downloaded agent archive against its minisign signature. Only
// the prehashed form is accepted: the signature covers the archive's
// BLAKE2b-512 digest, so the archive is hashed while it streams in and never
// has to be read a second time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

using Blake2bDigest = std::array<uint8_t, 64>;

// A .minisig is four short lines; anything much bigger is not one, and a
// hostile server must not make us buffer or scan an arbitrary amount.
inline constexpr size_t kMaxSignatureBytes = 8 * 1024;

// Why the gate refuses an agent. Callers branch on these, never on the text.
enum class GateCode {
  Ok,
  BadSignature,        // malformed, altered, another name, no timestamp, ...
  UnknownKey,          // signed by a key the installer does not carry
  SignatureMismatch,   // a good signature for another archive: during a release the two may come from two
  BelowBuildFloor,     // signed earlier than the build accepts
  OlderThanInstalled,  // a good signature, for an agent older than the one installed
  KeysBroken,          // the installer's own keys do not parse
  NoSignature,         // none could be had
  Unreadable,          // the archive could not be read to hash it
};
using GateStatus = platform::Status<GateCode>;
// How BadSignature, UnknownKey, SignatureMismatch and BelowBuildFloor begin:
// "bad signature: <why>".
inline constexpr char kBadSignature[] = "bad signature";

struct SignatureKey {
  std::array<uint8_t, 8> id;    // as stored, the bytes a signature names its key by
  std::array<uint8_t, 32> key;  // Ed25519 public key
};

// One key from the base64 line of a minisign.pub (the line starting "RW");
// nullopt unless it decodes to exactly an "Ed" key.
std::optional<SignatureKey> parsePublicKey(std::string_view base64Line);

struct PublicKeys {
  std::vector<SignatureKey> keys;
  std::string error;  // empty when every entry parsed
};

// Keys separated by ';'. Whitespace around an entry and empty entries are
// ignored, so an empty list is no keys and no error; any bad entry is an
// error naming its position, and then there are no keys at all.
PublicKeys parsePublicKeys(std::string_view list);

// BLAKE2b with a 64-byte output and no key, fed in pieces. A plain value:
// copying it copies the state.
class Blake2b512 {
 public:
  Blake2b512();
  void reset();  // back to hashing nothing, for a restarted transfer
  void update(const void* data, size_t size);
  // The digest of everything fed so far; the hasher can go on being fed.
  Blake2bDigest finish() const;

 private:
  alignas(64) unsigned char state_[384];  // libsodium's state, opaque here
};

// Streams a file already open, from its start, into the hasher; `name` is
// for messages.
platform::Result<Blake2bDigest, GateCode> hashOpenFile(int fd, const std::string& name);

struct SignedFacts {
  int64_t timestamp = 0;  // from the trusted comment's "timestamp:" field
  std::string file;       // from its "file:" field
};

// The signed facts, or why not, a short phrase for the log line.
using Verification = platform::Result<SignedFacts, GateCode>;

// Checks the text of a .minisig against the archive's digest: the signature
// must be prehashed, by one of `keys`, match `digest`, carry an intact
// trusted comment, and name `expectedFile` with a numeric timestamp.
Verification verifyAgentSignature(std::string_view minisig, const Blake2bDigest& digest,
                                  const std::vector<SignatureKey>& keys,
                                  const std::string& expectedFile);

// The facts of a signature whose archive was checked earlier (the one kept
// with an installed agent): its trusted comment must verify under one of
// `keys` and name `expectedFile`; the archive itself is not looked at.
Verification verifySignedFacts(std::string_view minisig, const std::vector<SignatureKey>& keys,
                               const std::string& expectedFile);
