// One transfer (network::HttpDownload) against the loopback server: the order of the delegate's calls, a
// cancel or destroy inside any of them, and what reaches the body's sink.
#include "network/http_download.h"

#include <gtest/gtest.h>

#include <functional>

#include <glib.h>

#include "download/transfer_policy.h"
#include "platform/event_loop.h"
#include "test_util.h"

using namespace testing_util;

namespace {

struct Recorder : network::HttpDownloadDelegate, network::BodySink {
  std::string calls, body;        // calls: in order, repeated data calls shown once
  size_t refuseAfter = SIZE_MAX;  // the sink fails once it would hold more
  bool refused = false;
  std::optional<network::HttpResponse> response;
  network::TransferResult result;
  std::function<void()> onResponse, onData, onEnd;  // run inside the call

  void note(const std::string& call, const std::function<void()>& hook) {
    if (call != "data" || calls.size() < 4 || calls.compare(calls.size() - 4, 4, "data") != 0)
      calls += (calls.empty() ? "" : " ") + call;
    if (hook) hook();
  }
  bool didReceiveResponse(const network::HttpResponse& r) override {
    response = r;
    note("response", onResponse);
    return r.status / 100 == 2;
  }
  void didReceiveDataOfLength(uint64_t n) override {
    EXPECT_GT(n, 0u);
    note("data", onData);
  }
  void didEnd(const network::TransferResult& r) override {
    result = r;
    note(r.kind == network::TransferEnd::Finished ? "finish" : "failure", onEnd);
  }
  bool write(const char* data, size_t n, std::string* why) override {
    EXPECT_FALSE(refused) << "written to after it refused";
    refused = body.size() + n > refuseAfter;
    if (refused) *why = "sink full"; else body.append(data, n);
    return !refused;
  }
};

// Byte i is (i * 31 + 7) & 255: a misplaced byte shows.
std::string generated(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 31 + 7) & 255);
  return s;
}

// `target` behind `n` redirects.
std::string hops(int n, std::string target) {
  for (int i = 0; i < n; ++i) {
    g_autofree gchar* escaped = g_uri_escape_string(target.c_str(), nullptr, TRUE);
    target = std::string("/redirect?to=") + escaped;
  }
  return target;
}

class HttpDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    for (size_t size : {100, 300000, 20000000}) writeFile(root / std::to_string(size), generated(size));
  }
  // Starts a transfer of `path` and runs the loop until it has ended or is gone.
  void transfer(Recorder& rec, const std::string& path, const network::HttpRequest& base = {}) {
    network::HttpRequest request = base;
    request.url = server.url(path);
    download = std::make_unique<network::HttpDownload>(request, &rec, &rec);
    EXPECT_EQ(rec.calls, "") << "the delegate was called from the constructor";
    platform::iterateUntil([&] { return !download || download->ended(); }, 30);
    platform::iterateUntil([] { return false; }, 0.2);  // anything late shows up
  }

  ScratchDir root;
  // A proxy from the developer's shell must not come between us and 127.0.0.1.
  ScopedEnv noHttpProxy{"http_proxy", nullptr}, noAllProxy{"all_proxy", nullptr}, noDesktop{"XDG_CURRENT_DESKTOP", nullptr};
  TestHttpServer server{root.path()};
  std::unique_ptr<network::HttpDownload> download;
};

}  // namespace

// The final response is told once, with its own headers (not a redirect's), then the body, byte for byte; a
// refused status gives the sink nothing.
TEST_F(HttpDownload, CallsComeInOrderAndOnlyAWholeBodyStays) {
  struct Row { std::string path, calls; std::optional<std::string> etag; long status; std::string body; } rows[] = {
      {"/files/300000?etag=%22abc%22", "response data finish", "\"abc\"", 200, generated(300000)},
      {"/redirect?etag=hop&to=/files/100", "response data finish", std::nullopt, 200, generated(100)},
      {"/redirect?etag=hop&to=/files/100%3Fetag%3Dfinal", "response data finish", "final", 200, generated(100)},
      {hops(10, "/files/100"), "response data finish", std::nullopt, 200, generated(100)},
      {"/files/missing", "response failure", std::nullopt, 404, ""},
      {"/files/300000?failures=1&dropafter=100000", "response data failure", std::nullopt, 200,
       generated(100000)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    Recorder rec;
    transfer(rec, row.path);
    EXPECT_EQ(rec.calls, row.calls);
    ASSERT_TRUE(rec.response);
    EXPECT_EQ(rec.response->etag, row.etag);
    EXPECT_EQ(rec.result.httpStatus, row.status);
    EXPECT_EQ(rec.result.url, server.url(row.path));
    EXPECT_TRUE(rec.body == row.body) << rec.body.size() << " bytes";
  }
}

TEST_F(HttpDownload, CancelOrDestroyInsideAnyCallStopsEverything) {
  const std::string small = "/files/100", big = "/files/20000000";
  struct Row { std::string path; std::function<void()> Recorder::*hook; bool destroy; std::string calls; } rows[] = {
      {small, &Recorder::onResponse, false, "response"}, {big, &Recorder::onData, false, "response data"},
      {big, &Recorder::onResponse, true, "response"}, {big, &Recorder::onData, true, "response data"},
      {small, &Recorder::onEnd, true, "response data finish"}, {"/files/x", &Recorder::onEnd, true, "response failure"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path + " -> " + row.calls);
    Recorder rec;
    rec.*row.hook = [&] { row.destroy ? download.reset() : download->cancel(); };
    transfer(rec, row.path);
    EXPECT_EQ(rec.calls, row.calls);
  }
}

// A server that trickles below the rate floor cannot hold a transfer for ever, nor one redirect more than
// followed; a sink that refuses a piece ends the transfer at once, in its own words, and is written to no more.
TEST_F(HttpDownload, ATrickleARedirectTooManyOrARefusingSinkEndsTheTransfer) {
  using network::TransferEnd;
  struct Row { std::string path; long stallSeconds; size_t refuseAfter; TransferEnd kind; std::string says, calls; }
  rows[] = {{"/files/300000?rate=300", 1, SIZE_MAX, TransferEnd::NetworkError, "the server stopped sending (",
             "response data failure"},
            {hops(11, "/files/100"), 60, SIZE_MAX, TransferEnd::NetworkError, "too many redirects", "failure"},
            {"/files/20000000", 60, 100000, TransferEnd::WriteError, "sink full", "response data failure"}};
  for (const Row& row : rows) {
    Recorder rec;
    rec.refuseAfter = row.refuseAfter;
    network::HttpRequest request;
    request.stallSeconds = row.stallSeconds;
    transfer(rec, row.path, request);
    EXPECT_EQ(rec.calls, row.calls);
    EXPECT_EQ(rec.result.kind, row.kind);
    std::string says = window::english(failureReason(rec.result));
    EXPECT_EQ(says.rfind(row.says, 0), 0u) << says;
    EXPECT_TRUE(rec.body == generated(20000000).substr(0, rec.body.size()));
  }
}
