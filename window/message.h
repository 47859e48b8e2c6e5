// The texts a person reads, as values: what is said and the numbers in it.
// Each view words a message itself, the window in the user's language, the
// console in English; standard error and the system log take the English.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace window {

struct Message {
  enum class Id {
    Empty,  // nothing to show
    Text,  // words of their own (a path, a tool's message): `details` only
    Downloading,           // percent
    Initializing,
    DownloadFailed,
    UnzipFailed,
    RetryingIn,            // whole seconds
    TryingAnotherServer,
    // Why a download failed.
    ResolveFailed,
    ConnectFailed,
    ConnectionDropped,
    Stalled,
    TlsUntrusted,
    TooManyRedirects,
    ProxyAuthentication,
    HttpStatus,            // the status
    NotTheInstaller,
    NoDiskSpace,           // bytes needed, bytes free
    BadSignature,
    CannotFetchSignature,
  };

  Message() = default;
  Message(Id id, std::vector<int64_t> numbers = {}, std::string details = {})
      : id(id), numbers(std::move(numbers)), details(std::move(details)) {}
  static Message text(std::string words) { return {Id::Text, {}, std::move(words)}; }

  Id id = Id::Empty;
  std::vector<int64_t> numbers;  // in the order the id's words place them
  std::string details;           // after the words, as they are ("(libcurl's words)", an address)

  bool empty() const { return id == Id::Empty; }
  bool operator==(const Message& other) const {
    return id == other.id && numbers == other.numbers && details == other.details;
  }
  bool operator!=(const Message& other) const { return !(*this == other); }
};

// How a number sits in a message's words.
enum class NumberKind { Count, Bytes, Percent };

struct Wording {
  const char* english;  // the catalogue's message id; "%1$s", "%2$s" where the numbers go
  std::vector<NumberKind> numbers;
};
// Null for Empty and Text.
const Wording* wordingOf(Message::Id id);

// Puts args[N-1] where `pattern` says "%N$s", and "%" for "%%".
std::string fillPattern(const std::string& pattern, const std::vector<std::string>& args);

// The message in words: `translate` gives the words for their English (a
// catalogue's id), `bytes` writes a size.
std::string inWords(const Message& message, const std::function<std::string(const char*)>& translate,
                    const std::function<std::string(int64_t)>& bytes);
// The message as standard error and the system log have it.
std::string english(const Message& message);

// The time left, in the words people look for.
struct TimeLeft {
  enum Unit { FewSeconds, UnderAMinute, Minutes, Hours } unit;
  long count;  // of minutes or hours
  bool operator==(const TimeLeft& o) const { return unit == o.unit && count == o.count; }
};

// How far a transfer has come.
struct Progress {
  int64_t received = 0;
  int64_t total = -1;           // -1 when unknown
  double bytesPerSecond = -1;   // -1 until known
  std::optional<TimeLeft> left;
};

// "12.3 MB of 45.6 MB, 3.2 MB/s — About 2 minutes left"
std::string englishProgress(const Progress& progress);
std::string englishTimeLeft(const TimeLeft& left);  // "About 2 minutes left"
// "1 hour", "90 seconds", "5 minutes": a limit in words for a log line.
std::string durationInWords(double seconds);

// Joins the figures and the estimate.
inline constexpr char kTimeLeftSeparator[] = " \u2014 ";

}  // namespace window
