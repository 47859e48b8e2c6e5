// HttpDownload against the real test server (tests/http_server.py) on
// 127.0.0.1, and what the transfer policy makes of the results. Generated
// bodies: byte i is (i * 31 + 7) & 255.
#include "platform/http_download.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "download/transfer_policy.h"
#include "platform/event_loop.h"
#include "platform/file_manager.h"
#include "test_http_server.h"
#include "test_util.h"

namespace {

using platform::HttpResponse;
using testing_util::freePort;
using testing_util::listDir;
using testing_util::readFile;
using testing_util::writeFile;
using Names = std::vector<std::string>;

const std::thread::id kMainThread = std::this_thread::get_id();

struct Recorder : platform::HttpDownloadDelegate {
  std::vector<std::string> calls;
  std::optional<HttpResponse> response;
  platform::TransferResult error;
  uint64_t bytes = 0;
  bool offMainThread = false;
  std::function<void()> onResponse, onData, onEnd;  // run inside the callback

  void note(const char* call) {
    calls.push_back(call);
    offMainThread |= std::this_thread::get_id() != kMainThread;
  }
  bool didReceiveResponse(const HttpResponse& r) override {
    note("response");
    response = r;
    if (onResponse) onResponse();
    return r.status / 100 == 2;
  }
  void didReceiveDataOfLength(uint64_t n) override { note("data"); EXPECT_GT(n, 0u); bytes += n; if (onData) onData(); }
  void didEnd(const platform::TransferResult& r) override {
    note(r.kind == platform::TransferEnd::Finished ? "finish" : "failure");
    error = r;
    if (onEnd) onEnd();
  }

  bool ended() const { return !calls.empty() && (calls.back() == "finish" || calls.back() == "failure"); }
  // The calls, repeated data calls shown once: "response data finish".
  std::string summary() const {
    std::string s;
    for (size_t i = 0; i < calls.size(); ++i)
      if (i == 0 || calls[i] != "data" || calls[i - 1] != "data") s += (s.empty() ? "" : " ") + calls[i];
    return s;
  }
};

std::string generated(size_t length) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>((i * 31 + 7) & 255);
  return s;
}

// Compares block by block, so a 100 MB file costs no 100 MB string.
::testing::AssertionResult isGenerated(const std::string& path, uint64_t size) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return ::testing::AssertionFailure() << path << " is missing";
  const size_t block = 1 << 20;  // a multiple of the pattern's period, 256
  const std::string expected = generated(block);
  std::string got(block, '\0');
  uint64_t offset = 0;
  while (size_t n = fread(got.data(), 1, block, f)) {
    if (offset + n > size || memcmp(got.data(), expected.data(), n) != 0) break;
    offset += n;
  }
  bool atEnd = feof(f);
  fclose(f);
  if (offset == size && atEnd) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << path << " differs from the generated body near byte " << offset;
}

std::string encode(const std::string& s) {
  std::string out;
  char hex[4];
  for (unsigned char c : s) {
    snprintf(hex, sizeof hex, "%%%02X", c);
    out += isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  return out;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class HttpDownload : public ::testing::Test {
 protected:
  testing_util::ScratchDir root, dir;
  // A proxy from the developer's shell must not come between us and 127.0.0.1.
  testing_util::ScopedEnv noHttpProxy{"http_proxy", nullptr}, noAllProxy{"all_proxy", nullptr},
      noAllProxyUpper{"ALL_PROXY", nullptr};
  testing_util::TestHttpServer server{root.path()};
  std::string dest = dir / "file.bin";
  std::unique_ptr<platform::HttpDownload> download;
  std::function<void(platform::HttpRequest&)> adjust;  // for the requests start() makes

  void start(Recorder& rec, const std::string& url, bool deletes = true, std::pair<long, long> t = {30, 60},
             const std::string& to = "") {
    platform::HttpRequest request;
    request.url = url;
    request.connectSeconds = t.first;
    request.stallSeconds = t.second;
    request.keepPartialOnFailure = !deletes;
    if (adjust) adjust(request);
    download = std::make_unique<platform::HttpDownload>(request, to.empty() ? dest : to, &rec);
    EXPECT_EQ(rec.summary(), "") << "delegate called from the constructor";
  }
  void waitFor(const std::function<bool()>& done, double seconds = 40) {
    platform::iterateUntil(done, seconds);
    EXPECT_TRUE(done()) << "timed out";
    platform::iterateUntil([] { return false; }, 0.1);  // let anything late show up
  }
  void run(Recorder& rec, const std::string& url, bool deletes = true, std::pair<long, long> t = {30, 60}) {
    start(rec, url, deletes, t);
    waitFor([&] { return rec.ended(); });
    EXPECT_FALSE(rec.offMainThread);
    EXPECT_TRUE(!download || download->ended());
  }
  std::string stats() {
    adjust = nullptr;
    Recorder rec;
    start(rec, server.url("/stats"), true, {}, root / "stats.json");
    waitFor([&] { return rec.ended(); });
    return readFile(root / "stats.json");
  }
  uint64_t bodyBytesSent() { return std::stoull(stats().substr(sizeof "{\"body_bytes_sent\":")); }
  // Failed, with or without a response and data first, and nothing after.
  void expectFailure(const Recorder& rec, const std::string& url, const std::string& inDescription) {
    EXPECT_TRUE(rec.summary() == "failure" || rec.summary() == "response failure" ||
                rec.summary() == "response data failure") << rec.summary();
    EXPECT_EQ(rec.error.url, url);
    EXPECT_TRUE(contains(rec.error.description, inDescription)) << rec.error.description;
  }
};

TEST_F(HttpDownload, DeliversResponseAsSentThenTheBody) {
  writeFile(root / "pkg.zip", "zip bytes\n");
  struct Case { std::string path; std::optional<std::string> etag; int64_t length; std::string body; } cases[] = {
      {"/data?size=3000&etag=" + encode("\"abc\""), "\"abc\"", 3000, generated(3000)},
      {"/data?size=3000&etag=" + encode("W/\"x\""), "W/\"x\"", 3000, generated(3000)},
      {"/data?size=3000&etag=plain&etagheader=etag", "plain", 3000, generated(3000)},
      {"/data?size=70000&chunked=1", std::nullopt, -1, generated(70000)},
      {"/data?size=0", std::nullopt, 0, ""},
      {"/data?size=0&chunked=1", std::nullopt, -1, ""},
      {"/files/pkg.zip?etag=z", "z", 10, "zip bytes\n"},
      {"/files/pkg.zip?chunked=1", std::nullopt, -1, "zip bytes\n"},
      {"/oddetag", "W/\"t\tab 'q' \xe9\xff\x80\"", 9, "odd etag\n"},
      {"/bigheader?bytes=60000&etag=big", "big", 11, "small body\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Recorder rec;
    run(rec, server.url(c.path));
    EXPECT_EQ(rec.summary(), c.body.empty() ? "response finish" : "response data finish");
    ASSERT_TRUE(rec.response);
    EXPECT_EQ(rec.response->status, 200);
    EXPECT_EQ(rec.response->etag, c.etag);
    EXPECT_EQ(rec.response->expectedContentLength, c.length);
    EXPECT_EQ(rec.bytes, c.body.size());
    EXPECT_TRUE(readFile(dest) == c.body);
    EXPECT_EQ(listDir(dir.path()), Names{"file.bin"});
  }
}

TEST_F(HttpDownload, FinalResponseWinsOverRedirect) {
  for (std::string etag : {"", "\"final\""}) {
    for (std::string code : {"301", "302", "307"}) {
      SCOPED_TRACE(etag + " via " + code);
      Recorder rec;
      std::string target = "/data?size=1000" + (etag.empty() ? "" : "&etag=" + encode(etag));
      run(rec, server.url("/redirect?etag=hop&code=" + code + "&to=" + encode(target)));
      EXPECT_EQ(rec.summary(), "response data finish");
      ASSERT_TRUE(rec.response);
      EXPECT_EQ(rec.response->etag, etag.empty() ? std::nullopt : std::optional<std::string>(etag));
      EXPECT_EQ(rec.response->expectedContentLength, 1000);
      EXPECT_TRUE(isGenerated(dest, 1000));
    }
  }
}

TEST_F(HttpDownload, RefusedResponseEndsWithItsStatusAndWritesNothing) {
  for (std::string path : {"/files/missing.zip", "/status?code=500", "/status?code=403", "/auth"}) {
    SCOPED_TRACE(path);
    Recorder rec;
    run(rec, server.url(path));
    std::string code = path[1] == 'f' ? "404" : path[1] == 'a' ? "401" : path.substr(path.size() - 3);
    expectFailure(rec, server.url(path), "HTTP status " + code + " from " + server.url(path));
    EXPECT_EQ(rec.summary(), "response failure");
    EXPECT_EQ(rec.error.kind, platform::TransferEnd::HttpStatus);
    EXPECT_EQ(std::to_string(rec.error.httpStatus), code);
    EXPECT_EQ(failureReason(rec.error), "HTTP status " + code);
    EXPECT_EQ(isRetryable(rec.error), code == "500");
    EXPECT_EQ(listDir(dir.path()), Names{});
  }
  Recorder rec;
  run(rec, server.url("/status?code=304"));
  EXPECT_EQ(rec.error.kind, platform::TransferEnd::NotModified);
  EXPECT_EQ(listDir(dir.path()), Names{});
}

TEST_F(HttpDownload, BrokenTransfersFailAndLeaveNothing) {
  // `words` start the log's reason, libcurl's follow in parentheses (or stand alone).
  struct Case { std::string url, inDescription, words; bool retry; } cases[] = {
      {server.url("/drop?size=1000000&after=300000"), "transfer closed", "the connection dropped", true},
      {server.url("/garbage"), "HTTP/0.9", "", false},
      {server.url("/bigheader?bytes=300000"), "", "", false},
      {"http://127.0.0.1:" + std::to_string(freePort()) + "/x", "onnect", "cannot connect to the server", true},
      {server.url("/loop"), "redirects", "too many redirects", false},
      {"http://no-such-host.invalid/x", "resolve", "cannot resolve the host name", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Recorder rec;
    run(rec, c.url);
    expectFailure(rec, c.url, c.inDescription);
    EXPECT_EQ(failureReason(rec.error),
              c.words.empty() ? rec.error.description : c.words + " (" + rec.error.description + ")");
    EXPECT_EQ(isRetryable(rec.error), c.retry);
    EXPECT_EQ(listDir(dir.path()), Names{});
  }
  // drop, garbage, bigheader, then the loop: its first request and 10 redirects.
  EXPECT_TRUE(contains(stats(), "\"requests\": 14")) << stats();
}

TEST_F(HttpDownload, StallTimeoutEndsAStallOrATrickleBelowTheFloor) {
  struct Case { std::string path; long floor; bool finishes; } cases[] = {
      {"/stall?size=100000&after=1000&seconds=60", 1024, false},
      {"/trickle?size=100000&chunk=50&interval=0.25", 1024, false},  // 200 bytes/s
      {"/trickle?size=2000&chunk=200&interval=0.25", 500, true},     // 800 bytes/s
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " at least " + std::to_string(c.floor) + " bytes/s");
    adjust = [&](platform::HttpRequest& r) { r.minimumBytesPerSecond = c.floor; };
    Recorder rec;
    run(rec, server.url(c.path), true, {30, 1});
    if (c.finishes) {
      EXPECT_EQ(rec.summary(), "response data finish");
      EXPECT_TRUE(isGenerated(dest, 2000));
      continue;
    }
    expectFailure(rec, server.url(c.path), "too slow");
    EXPECT_EQ(failureReason(rec.error).rfind("the server stopped sending (", 0), 0u) << failureReason(rec.error);
    EXPECT_TRUE(isRetryable(rec.error));
    EXPECT_EQ(listDir(dir.path()), Names{});
  }
}

TEST_F(HttpDownload, ResumesAPartialOnA206AndStartsOverOtherwise) {
  const size_t size = 300000, have = 120000;
  const std::string whole = generated(size);
  struct Case { std::string query, partial; long status; } cases[] = {
      {"", whole.substr(0, have) + "junk", 206},  // with bytes past the resume point that nobody vouched for
      {"&ranges=0", std::string(have, 'x'), 200},  // a server that ignores Range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    uint64_t sentBefore = bodyBytesSent();
    writeFile(dest, c.partial);
    std::string seen;
    adjust = [&](platform::HttpRequest& r) {
      r.resumeFrom = have;
      r.headers = {"Range: bytes=" + std::to_string(have) + "-"};
      r.onBody = [&](const char* data, size_t n) { seen.append(data, n); };
    };
    Recorder rec;
    run(rec, server.url("/data?size=" + std::to_string(size) + c.query));
    EXPECT_EQ(rec.summary(), "response data finish");
    EXPECT_EQ(rec.error.httpStatus, c.status);
    size_t fresh = c.status == 206 ? size - have : size;
    EXPECT_TRUE(seen == whole.substr(size - fresh)) << "the observer saw " << seen.size() << " bytes";
    EXPECT_EQ(bodyBytesSent() - sentBefore, fresh);
    EXPECT_TRUE(isGenerated(dest, size));
    EXPECT_EQ(listDir(dir.path()), Names{"file.bin"});
  }
}

TEST_F(HttpDownload, CancelOrDestroyInsideCallbacksStopsEverything) {
  struct Case { std::string path; std::function<void()> Recorder::*hook; bool destroy; std::string calls; } cases[] = {
      {"/data?size=100", &Recorder::onResponse, false, "response"},
      {"/data?size=20000000", &Recorder::onResponse, false, "response"},
      {"/data?size=50000000", &Recorder::onData, false, "response data"},
      {"/data?size=5000000", &Recorder::onResponse, true, "response"},
      {"/data?size=5000000", &Recorder::onData, true, "response data"},
      {"/data?size=10", &Recorder::onEnd, true, "response data finish"},
      {"/files/none", &Recorder::onEnd, true, "response failure"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " -> " + c.calls);
    unlink(dest.c_str());
    Recorder rec;
    rec.*c.hook = [&] {
      if (c.destroy) download.reset(); else download->cancel();
    };
    start(rec, server.url(c.path));
    waitFor([&] { return !download || download->ended(); });
    platform::iterateUntil([] { return false; }, 0.3);
    std::string all;  // every call, so a second data call shows
    for (const std::string& call : rec.calls) all += (all.empty() ? "" : " ") + call;
    EXPECT_EQ(all, c.calls);
    EXPECT_EQ(listDir(dir.path()), c.calls == "response data finish" ? Names{"file.bin"} : Names{});
  }
}

TEST_F(HttpDownload, DestructorCancelsAndCancelAfterEndDoesNothing) {
  Recorder rec;
  start(rec, server.url("/stall?size=100000&after=50000&seconds=60"));
  waitFor([&] { return rec.bytes == 50000; });
  download.reset();
  platform::iterateUntil([] { return false; }, 0.3);
  EXPECT_EQ(rec.summary(), "response data");
  EXPECT_EQ(listDir(dir.path()), Names{});

  // Gone before the loop ever ran it, or after one turn: while the desktop's proxy is looked up.
  testing_util::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "X-Test");
  for (int turnsBefore : {0, 1}) {
    Recorder early;
    start(early, server.url("/data?size=100"));
    int turns = 0;
    platform::iterateUntil([&] { return turns++ == turnsBefore; }, 1);
    download.reset();
    platform::iterateUntil([] { return false; }, 0.3);
    EXPECT_EQ(early.summary(), "") << turnsBefore;
    EXPECT_EQ(listDir(dir.path()), Names{});
  }

  Recorder done;
  run(done, server.url("/data?size=100"));
  download->cancel();
  EXPECT_EQ(done.summary(), "response data finish");
  EXPECT_TRUE(isGenerated(dest, 100));
}

TEST_F(HttpDownload, LargeBodyIsByteExact) {
  const uint64_t size = 100 * 1024 * 1024;
  Recorder rec;
  run(rec, server.url("/data?size=" + std::to_string(size)));
  EXPECT_EQ(rec.summary(), "response data finish");
  EXPECT_EQ(rec.bytes, size);
  EXPECT_TRUE(isGenerated(dest, size));
}

TEST_F(HttpDownload, ReplacesDestinationOnlyOnSuccess) {
  for (bool deletes : {true, false}) {
    SCOPED_TRACE(deletes);
    Recorder dropped, refused;
    writeFile(dest, "previous");
    run(dropped, server.url("/drop?size=5000&after=100"), deletes);
    // Unless asked to keep what arrived.
    EXPECT_EQ(readFile(dest), deletes ? "previous" : generated(100));
    writeFile(dest, "previous");
    run(refused, server.url("/status?code=404"), deletes);
    EXPECT_EQ(readFile(dest), "previous");
    EXPECT_EQ(listDir(dir.path()), Names{"file.bin"});
  }
  Recorder ok;
  run(ok, server.url("/data?size=5000"));
  EXPECT_TRUE(isGenerated(dest, 5000));
}

TEST_F(HttpDownload, UnusableDestinationOrURLFailsThroughTheCallback) {
  Recorder noDir;
  start(noDir, server.url("/data?size=10"), true, {}, dir / "absent/file.bin");
  waitFor([&] { return noDir.ended(); });
  expectFailure(noDir, server.url("/data?size=10"), strerror(ENOENT));
  for (std::string url : {"", "not a url", "http://", "http://[::1", "ftp://127.0.0.1:1/x"}) {
    SCOPED_TRACE(url);
    Recorder rec;
    run(rec, url);
    expectFailure(rec, url, "");
    EXPECT_FALSE(rec.error.description.empty());
  }
  EXPECT_EQ(listDir(dir.path()), Names{});

  writeFile(dest, "short");  // less than the request claims is there: left alone
  adjust = [](platform::HttpRequest& r) { r.resumeFrom = 10; };
  Recorder shorter;
  run(shorter, server.url("/data?size=20"));
  expectFailure(shorter, server.url("/data?size=20"), "cannot resume");
  EXPECT_EQ(readFile(dest), "short");
}

TEST_F(HttpDownload, FileSizeLimitFailsWithoutPartialFile) {
  auto previous = signal(SIGXFSZ, SIG_IGN);
  rlimit old{}, small{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  small = old;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Recorder rec;
  std::string url = server.url("/data?size=8000000");
  run(rec, url);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  expectFailure(rec, url, strerror(EFBIG));
  EXPECT_EQ(failureReason(rec.error), "cannot write " + dest + ": " + strerror(EFBIG));
  EXPECT_FALSE(isRetryable(rec.error));
  EXPECT_EQ(listDir(dir.path()), Names{});
}

TEST_F(HttpDownload, GoesThroughProxyFromEnvironmentWithCredentialsInItsAddress) {
  testing_util::Tinyproxy open, guarded("BasicAuth user pass\n");
  if (!open.running()) GTEST_SKIP() << "tinyproxy is not installed";
  testing_util::ScopedEnv noExceptions("no_proxy", nullptr), noExceptionsUpper("NO_PROXY", nullptr);
  struct Case { testing_util::Tinyproxy* proxy; std::string credentials; long status; } cases[] = {
      {&open, "", 200}, {&guarded, "user:pass", 200}, {&guarded, "", 407}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proxy->url(c.credentials));
    testing_util::ScopedEnv viaProxy("http_proxy", c.proxy->url(c.credentials).c_str());
    Recorder rec;
    std::string url = server.url("/data?size=4000&etag=proxied");
    run(rec, url);
    EXPECT_EQ(rec.summary(), c.status == 200 ? "response data finish" : "response failure");
    EXPECT_EQ(rec.error.httpStatus, c.status);
    if (c.status == 200) {
      EXPECT_TRUE(isGenerated(dest, 4000));
      EXPECT_TRUE(contains(c.proxy->log(), "GET " + url)) << c.proxy->log();
    } else {
      EXPECT_EQ(failureReason(rec.error), "the proxy requires authentication");
      EXPECT_FALSE(isRetryable(rec.error));
    }
  }
}

// The space where a download would land, asked of the nearest folder that
// exists; /proc, which holds nothing, shows that it is the right one.
TEST(FreeBytesAt, AsksTheNearestExistingFolder) {
  testing_util::ScratchDir dir;
  writeFile(dir / "file", "x");
  std::string df = testing_util::runProcess({"df", "-B1", "--output=avail", dir.path()}).out;
  const double avail = std::stod(df.substr(df.find('\n'))), slack = 64e6;  // others write on this disk meanwhile
  for (auto [path, expected] : {std::pair{dir.path(), avail}, {dir / "absent/deeper/file.bin", avail},
                                {dir / "file/below", avail}, {"/proc/absent/file.bin", 0.0}}) {
    SCOPED_TRACE(path);
    EXPECT_NEAR(static_cast<double>(platform::freeBytesAt(path).value_or(-1)), expected, expected > 0 ? slack : 0);
  }
}

// The policy's cases that real transfers here cannot cheaply give, and the back-off.
using Cause = platform::NetworkCause;
using End = platform::TransferEnd;

platform::TransferResult result(End kind, long status, Cause cause = Cause::None) {
  platform::TransferResult r;
  r.kind = kind;
  r.httpStatus = status;  // for a network error: a proxy's answer to CONNECT
  r.cause = cause;
  return r;
}

TEST(TransferPolicy, ReasonAndRetryOfResultsNoLocalServerGives) {
  for (long status : {408, 429, 502, 503, 504}) EXPECT_TRUE(isRetryable(result(End::HttpStatus, status))) << status;
  for (long status : {400, 416, 501}) EXPECT_FALSE(isRetryable(result(End::HttpStatus, status))) << status;
  struct Case { platform::TransferResult result; std::string reason; bool retry; } cases[] = {
      {result(End::NetworkError, 0, Cause::TlsUntrusted), "the certificate is not trusted", false},
      {result(End::NetworkError, 407, Cause::ConnectFailed), "the proxy requires authentication", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(failureReason(c.result), c.reason);
    EXPECT_EQ(isRetryable(c.result), c.retry);
  }
}

TEST(TransferPolicy, RetryDelayBacksOffWithJitterUnlessTheServerSaysWhen) {
  const std::time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  struct Case { int attempt; std::optional<std::string> retryAfter; double base, random01, seconds; } cases[] = {
      {3, std::nullopt, 1, 0.25, 2},
      {2, std::nullopt, 0.05, 1, 0.2},
      {9, std::nullopt, 1, 1, 30},
      {3, "7", 1, 0.5, 7},
      {3, " 120 ", 1, 0.5, 60},
      {0, "Sun, 06 Nov 1994 08:50:07 GMT", 1, 0.5, 30},
      {0, "Sun, 06 Nov 1994 08:00:00 GMT", 1, 0.5, 0},  // already past
      {3, "Sunday, 06-Nov-94 08:50:07 GMT", 1, 0.5, 4},  // not an IMF-fixdate: ignored
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.attempt) + " " + c.retryAfter.value_or("(none)"));
    EXPECT_DOUBLE_EQ(retryDelaySeconds(c.attempt, c.retryAfter, c.base, now, c.random01), c.seconds);
  }
}

}  // namespace
