#include "window/message.h"

#include <cmath>

#include "platform/quantities.h"

namespace window {

namespace {

// Marks a text for the catalogue's template; the views translate it.
#define N_(text) text

using K = NumberKind;

struct Entry {
  Message::Id id;
  Wording wording;
};

const Entry kWordings[] = {
    {Message::Id::Downloading, {N_("Downloading %1$s%%"), {K::Percent}}},
    {Message::Id::Initializing, {N_("Initializing the installer"), {}}},
    {Message::Id::DownloadFailed,
     {N_("Error during the download process. See your system log for more information."), {}}},
    {Message::Id::UnzipFailed, {N_("Failed to unzip the installer."), {}}},
    {Message::Id::RetryingIn, {N_("Retrying in %1$s s\u2026"), {K::Count}}},
    {Message::Id::TryingAnotherServer, {N_("Trying another server\u2026"), {}}},
    {Message::Id::ResolveFailed, {N_("cannot resolve the host name"), {}}},
    {Message::Id::ConnectFailed, {N_("cannot connect to the server"), {}}},
    {Message::Id::ConnectionDropped, {N_("the connection dropped"), {}}},
    {Message::Id::Stalled, {N_("the server stopped sending"), {}}},
    {Message::Id::TlsUntrusted, {N_("the certificate is not trusted"), {}}},
    {Message::Id::TooManyRedirects, {N_("too many redirects"), {}}},
    {Message::Id::ProxyAuthentication, {N_("the proxy requires authentication"), {}}},
    {Message::Id::HttpStatus, {N_("HTTP status %1$s"), {K::Count}}},
    {Message::Id::NotTheInstaller,
     {N_("the server sent something that is not the installer (an HTML page from a captive portal or a proxy "
         "login?)"),
      {}}},
    {Message::Id::NoDiskSpace, {N_("not enough disk space: %1$s needed, %2$s free"), {K::Bytes, K::Bytes}}},
    {Message::Id::BadSignature, {N_("bad signature"), {}}},
    {Message::Id::CannotFetchSignature, {N_("cannot fetch the signature"), {}}},
};


}  // namespace

const Wording* wordingOf(Message::Id id) {
  for (const Entry& entry : kWordings)
    if (entry.id == id) return &entry.wording;
  return nullptr;
}

std::string fillPattern(const std::string& pattern, const std::vector<std::string>& args) {
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    size_t n = 0, j = i + 1;
    while (pattern[i] == '%' && j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9')
      n = n * 10 + static_cast<size_t>(pattern[j++] - '0');
    if (n >= 1 && n <= args.size() && pattern.compare(j, 2, "$s") == 0) {
      out += args[n - 1];
      i = j + 1;
      continue;
    }
    out += pattern[i];
  }
  return out;
}

std::string inWords(const Message& message, const std::function<std::string(const char*)>& translate,
                    const std::function<std::string(int64_t)>& bytes) {
  const Wording* wording = wordingOf(message.id);
  if (!wording) return message.details;
  std::vector<std::string> args;
  for (size_t i = 0; i < wording->numbers.size() && i < message.numbers.size(); ++i) {
    int64_t n = message.numbers[i];
    std::string arg = wording->numbers[i] == NumberKind::Bytes ? bytes(n) : std::to_string(n);
    // A percentage keeps its column, as in "Downloading   6%".
    if (wording->numbers[i] == NumberKind::Percent && arg.size() < 3) arg.insert(0, 3 - arg.size(), ' ');
    args.push_back(std::move(arg));
  }
  return fillPattern(translate(wording->english), args) + message.details;
}

std::string english(const Message& message) {
  return inWords(message, [](const char* words) { return std::string(words); }, platform::formatByteCount);
}

std::string durationInWords(double seconds) {
  long s = std::lround(seconds);
  auto plural = [](long n, const char* unit) { return std::to_string(n) + " " + unit + (n == 1 ? "" : "s"); };
  if (s >= 3600 && s % 3600 == 0) return plural(s / 3600, "hour");
  if (s >= 60 && s % 60 == 0) return plural(s / 60, "minute");
  return plural(s, "second");
}

std::string englishTimeLeft(const TimeLeft& left) {
  switch (left.unit) {
    case TimeLeft::FewSeconds: return "A few seconds left";
    case TimeLeft::UnderAMinute: return "Less than a minute left";
    case TimeLeft::Minutes: return "About " + durationInWords(left.count * 60.0) + " left";
    case TimeLeft::Hours: break;
  }
  return "About " + durationInWords(left.count * 3600.0) + " left";
}

std::string englishProgress(const Progress& p) {
  std::string text = platform::formatByteCount(p.received);
  if (p.total >= 0) text += " of " + platform::formatByteCount(p.total);
  if (p.bytesPerSecond >= 0 && std::isfinite(p.bytesPerSecond))
    text += ", " + platform::formatByteCount(static_cast<int64_t>(std::llround(p.bytesPerSecond))) + "/s";
  if (p.left) text += kTimeLeftSeparator + englishTimeLeft(*p.left);
  return text;
}

}  // namespace window
