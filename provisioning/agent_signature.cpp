#include "provisioning/agent_signature.h"

#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

static_assert(sizeof(crypto_generichash_state) <= 384 && alignof(crypto_generichash_state) <= 64,
              "Blake2b512::state_ is too small for this libsodium");

namespace {


bool sodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

crypto_generichash_state* state(unsigned char* storage) {
  return reinterpret_cast<crypto_generichash_state*>(storage);
}

// Decodes standard padded base64 into exactly out.size() bytes.
template <size_t N>
bool decodeExactly(std::string_view text, std::array<uint8_t, N>& out) {
  size_t length = 0;
  return !text.empty() &&
         sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length,
                           nullptr, sodium_base64_VARIANT_ORIGINAL) == 0 &&
         length == N;
}

std::string_view trim(std::string_view s) {
  const char* space = " \t\r\n\f\v";
  size_t begin = s.find_first_not_of(space);
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(space) - begin + 1);
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

Verification refuse(std::string reason, GateCode code = GateCode::BadSignature) {
  return {code, std::string(kBadSignature) + ": " + std::move(reason)};
}

// Splits into exactly four lines, each without its "\n" or "\r\n"; the last
// line's newline is optional.
std::optional<std::array<std::string_view, 4>> fourLines(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  std::array<std::string_view, 4> lines;
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t end = text.find('\n');
    if ((end == std::string_view::npos) != (i == lines.size() - 1)) return std::nullopt;
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines[i] = line;
    if (end != std::string_view::npos) text.remove_prefix(end + 1);
  }
  return lines;
}

// The tab-separated "name:value" fields of a trusted comment.
std::optional<std::string_view> field(std::string_view comment, std::string_view name,
                                      bool& repeated) {
  std::optional<std::string_view> found;
  while (true) {
    size_t tab = comment.find('\t');
    std::string_view item = comment.substr(0, tab);
    if (startsWith(item, name) && item.substr(name.size(), 1) == ":") {
      if (found) repeated = true;
      found = item.substr(name.size() + 1);
    }
    if (tab == std::string_view::npos) return found;
    comment.remove_prefix(tab + 1);
  }
}

std::optional<int64_t> decimal(std::string_view s) {
  if (s.empty() || s.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  int64_t value = 0;
  auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

// As minisign shows a key id (in a .pub's comment, say): the eight bytes
// read as a little-endian number, in upper-case hex.
std::string keyIdText(const uint8_t* id) {
  uint64_t number = 0;
  for (int i = 7; i >= 0; --i) number = number << 8 | id[i];
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIX64, number);
  return text;
}

}  // namespace

std::optional<SignatureKey> parsePublicKey(std::string_view base64Line) {
  std::array<uint8_t, 42> raw;
  if (!decodeExactly(base64Line, raw) || raw[0] != 'E' || raw[1] != 'd') return std::nullopt;
  SignatureKey key;
  std::memcpy(key.id.data(), raw.data() + 2, key.id.size());
  std::memcpy(key.key.data(), raw.data() + 10, key.key.size());
  return key;
}

PublicKeys parsePublicKeys(std::string_view list) {
  PublicKeys result;
  size_t position = 0;
  while (true) {
    size_t semicolon = list.find(';');
    std::string_view entry = trim(list.substr(0, semicolon));
    if (!entry.empty()) {
      ++position;
      std::optional<SignatureKey> key = parsePublicKey(entry);
      if (!key) return {{}, "public key " + std::to_string(position) + " is not a minisign public key"};
      result.keys.push_back(*key);
    }
    if (semicolon == std::string_view::npos) return result;
    list.remove_prefix(semicolon + 1);
  }
}

Blake2b512::Blake2b512() { reset(); }

void Blake2b512::reset() {
  sodiumReady();
  crypto_generichash_init(state(state_), nullptr, 0, 64);
}

void Blake2b512::update(const void* data, size_t size) {
  crypto_generichash_update(state(state_), static_cast<const unsigned char*>(data), size);
}

Blake2bDigest Blake2b512::finish() const {
  // Finishing consumes a state, so finish a copy and leave ours running.
  Blake2b512 copy = *this;
  Blake2bDigest digest;
  crypto_generichash_final(state(copy.state_), digest.data(), digest.size());
  return digest;
}

namespace {

// Pieces of the file being hashed, read ahead by a thread of their own: on
// a second CPU the copy out of the page cache (about 5 % of hashing it)
// is off the hash's path. Without that thread the hash reads each itself.
class ReadAhead {
 public:
  static constexpr size_t kPieceSize = 256 * 1024;

  explicit ReadAhead(int fd) : fd_(fd), buffer_(new unsigned char[kPieceSize * kPieces]) {
    // For a few pieces the thread's own start would cost more than it saves.
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= static_cast<off_t>(kPieces * kPieceSize)) return;
    try {
      reader_ = std::thread(&ReadAhead::readAll, this);
    } catch (const std::system_error&) {
    }
  }
  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (reader_.joinable()) reader_.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next piece: its bytes, and its length (0 at the end, -1 with errno_ set).
  const unsigned char* next(ssize_t* length) {
    const unsigned char* piece = buffer_.get() + (taken_ % kPieces) * kPieceSize;
    if (!reader_.joinable()) {
      *length = readPiece(taken_++);
      return piece;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (taken_ > 0) ++done_;  // the caller is finished with the piece before
    changed_.notify_all();
    changed_.wait(lock, [this] { return read_ > taken_; });
    *length = lengths_[taken_++ % kPieces];
    return piece;
  }
  int error() const { return errno_; }

 private:
  static constexpr uint64_t kPieces = 3;

  ssize_t readPiece(uint64_t index) {
    for (;;) {
      ssize_t n = pread(fd_, buffer_.get() + (index % kPieces) * kPieceSize, kPieceSize,
                        static_cast<off_t>(index * kPieceSize));
      if (n >= 0 || errno != EINTR) {
        if (n < 0) errno_ = errno;
        return n;
      }
    }
  }

  void readAll() {
    for (uint64_t index = 0;; ++index) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || index - done_ < kPieces; });
        if (stopping_) return;
      }
      ssize_t n = readPiece(index);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lengths_[index % kPieces] = n;
        read_ = index + 1;
      }
      changed_.notify_all();
      if (n <= 0) return;
    }
  }

  int fd_;
  std::unique_ptr<unsigned char[]> buffer_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  ssize_t lengths_[kPieces] = {};
  uint64_t read_ = 0, done_ = 0, taken_ = 0;  // pieces read, handed back, handed out
  bool stopping_ = false;
  int errno_ = 0;
};

}  // namespace

platform::Result<Blake2bDigest, GateCode> hashOpenFile(int fd, const std::string& name) {
  ReadAhead pieces(fd);
  Blake2b512 hasher;
  for (;;) {
    ssize_t n = 0;
    const unsigned char* piece = pieces.next(&n);
    if (n < 0) return {GateCode::Unreadable, "cannot read " + name + ": " + std::strerror(pieces.error())};
    if (n == 0) break;
    hasher.update(piece, static_cast<size_t>(n));
  }
  return hasher.finish();
}

namespace {

// Both checks share everything but the archive: with `digest` the file
// signature must match it; without, only the trusted comment is checked (a
// signature verified when its archive was installed, kept for its facts).
Verification verify(std::string_view minisig, const Blake2bDigest* digest, const std::vector<SignatureKey>& keys,
                    const std::string& expectedFile) {
  if (!sodiumReady()) return refuse("the cryptography library did not start");
  if (minisig.size() > kMaxSignatureBytes) return refuse("the signature file is too large");

  const std::string_view untrustedPrefix = "untrusted comment: ";
  const std::string_view trustedPrefix = "trusted comment: ";
  auto lines = fourLines(minisig);
  if (!lines) return refuse("the signature file is malformed: not four lines");
  std::array<uint8_t, 74> signature;  // algorithm, key id, Ed25519 signature
  std::array<uint8_t, 64> globalSignature;
  if (!startsWith((*lines)[0], untrustedPrefix)) return refuse("the signature file is malformed: no untrusted comment");
  if (!decodeExactly((*lines)[1], signature)) return refuse("the signature file is malformed: bad signature line");
  if (!startsWith((*lines)[2], trustedPrefix)) return refuse("the signature file is malformed: no trusted comment");
  if (!decodeExactly((*lines)[3], globalSignature))
    return refuse("the signature file is malformed: bad trusted comment signature");
  std::string_view comment = (*lines)[2].substr(trustedPrefix.size());

  if (signature[0] == 'E' && signature[1] == 'd')
    return refuse("legacy signature over the whole file, not its hash, is not accepted");
  if (signature[0] != 'E' || signature[1] != 'D') return refuse("unsupported signature algorithm");

  const uint8_t* keyId = signature.data() + 2;
  const uint8_t* fileSignature = signature.data() + 10;
  const SignatureKey* signer = nullptr;
  bool knownKey = false;
  for (const SignatureKey& key : keys) {
    if (std::memcmp(key.id.data(), keyId, key.id.size()) != 0) continue;
    knownKey = true;
    if (!digest ||
        crypto_sign_verify_detached(fileSignature, digest->data(), digest->size(), key.key.data()) == 0) {
      signer = &key;
      break;
    }
  }
  if (!knownKey) return refuse("signed by an unknown key (key id " + keyIdText(keyId) + ")", GateCode::UnknownKey);
  if (!signer) return refuse("the archive does not match its signature", GateCode::SignatureMismatch);

  // The global signature covers the file signature followed by the comment.
  std::string signedText(reinterpret_cast<const char*>(fileSignature), 64);
  signedText.append(comment);
  if (crypto_sign_verify_detached(globalSignature.data(),
                                  reinterpret_cast<const unsigned char*>(signedText.data()),
                                  signedText.size(), signer->key.data()) != 0)
    return refuse("the trusted comment was altered");

  bool repeated = false;
  std::optional<std::string_view> file = field(comment, "file", repeated);
  std::optional<std::string_view> timestamp = field(comment, "timestamp", repeated);
  if (repeated) return refuse("the trusted comment repeats a field");
  if (!file) return refuse("the trusted comment names no file");
  if (*file != expectedFile)
    // Control bytes in the name are escaped where the reason is written out.
    return refuse("signed for \"" + std::string(*file) + "\", not \"" + expectedFile + "\"");
  std::optional<int64_t> seconds = timestamp ? decimal(*timestamp) : std::nullopt;
  if (!seconds) return refuse("the trusted comment has no valid timestamp");
  return SignedFacts{*seconds, std::string(*file)};
}

}  // namespace

Verification verifyAgentSignature(std::string_view minisig, const Blake2bDigest& digest,
                                  const std::vector<SignatureKey>& keys, const std::string& expectedFile) {
  return verify(minisig, &digest, keys, expectedFile);
}

Verification verifySignedFacts(std::string_view minisig, const std::vector<SignatureKey>& keys,
                               const std::string& expectedFile) {
  return verify(minisig, nullptr, keys, expectedFile);
}
