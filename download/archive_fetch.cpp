#include "download/archive_fetch.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>

#include "download/transfer_policy.h"
#include "platform/system_log.h"
#include "provisioning/build_constants.h"

namespace {

// A dropped transfer that got this far is resumed at once, without using up
// a retry: the server is there, and only the link is flaky.
constexpr uint64_t kProgressWorthResuming = 1 << 20;
constexpr size_t kHeadBytes = 4;

// A share of the back-off, different for every installer that failed at
// the same moment, so that they do not all come back at once.
double randomShare() {
  static std::mt19937 engine{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

}  // namespace

ArchiveFetch::ArchiveFetch(platform::EventLoop& loop, Client& client, std::string address, std::string destination,
                           std::optional<std::string> ifNoneMatch, Options options)
    : loop_(loop), client_(client), address_(std::move(address)), destination_(std::move(destination)),
      ifNoneMatch_(std::move(ifNoneMatch)), options_(options) {
  attempt(0);
}

ArchiveFetch::~ArchiveFetch() { cancel(); }

void ArchiveFetch::cancel() {
  if (timer_) loop_.cancelCall(timer_);
  timer_ = 0;
  if (transfer_) transfer_->cancel();
}

void ArchiveFetch::attempt(uint64_t resumeFrom) {
  platform::HttpRequest request;
  request.url = address_;
  request.userAgent = userAgent;
  request.connectSeconds = options_.connectSeconds;
  request.stallSeconds = options_.stallSeconds;
  request.keepPartialOnFailure = true;  // for the next attempt to resume
  request.resumeFrom = resumeFrom;
  if (resumeFrom > 0) {
    // The rest, only if it is still the same archive; else the whole again.
    request.headers.push_back("Range: bytes=" + std::to_string(resumeFrom) + "-");
    request.headers.push_back("If-Range: " + validator_);
  }
  if (ifNoneMatch_) request.headers.push_back("If-None-Match: " + *ifNoneMatch_);
  request.onBody = [this](const char* data, size_t length) {
    if (options_.hashBody) hash_.update(data, length);
    if (head_.size() < kHeadBytes) head_.append(data, std::min(length, kHeadBytes - head_.size()));
  };
  resumedFrom_ = resumeFrom;
  attemptBytes_ = 0;
  platform::HttpDownloadDelegate* delegate = this;
  transfer_ = std::make_unique<platform::HttpDownload>(std::move(request), destination_, delegate);
}

bool ArchiveFetch::didReceiveResponse(const platform::HttpResponse& response) {
  retryAfter_ = response.header("Retry-After");
  bool resumed = response.status == 206 && resumedFrom_ > 0;
  if (takesBody(response) && !resumed) {
    // The whole archive, again after a resume the server would not serve.
    hash_.reset();
    head_.clear();
    resumedFrom_ = 0;
    validator_ = response.etag ? *response.etag : response.header("Last-Modified").value_or(std::string());
  }
  return client_.fetchResponded(response, resumedFrom_);
}

void ArchiveFetch::didReceiveDataOfLength(uint64_t length) {
  attemptBytes_ += length;
  client_.fetchReceived(length);
}

void ArchiveFetch::didEnd(const platform::TransferResult& result) {
  switch (result.kind) {
    case platform::TransferEnd::Cancelled:
      return;
    case platform::TransferEnd::Finished:
    case platform::TransferEnd::NotModified:
      ended_ = result.kind;
      return client_.fetchEnded(result);
    default:
      break;
  }
  if (result.httpStatus == 416 && resumedFrom_ > 0) {
    // The kept part no longer fits the archive: start over.
    std::remove(destination_.c_str());
    return attempt(0);
  }
  if (downloadRetries > 0 && isRetryable(result) &&
      (attemptBytes_ >= kProgressWorthResuming || retries_ < downloadRetries))
    return retryLater(result);
  std::remove(destination_.c_str());  // what was kept for a resume
  ended_ = result.kind;
  client_.fetchEnded(result);
}

// Waits, as the policy says, then asks again; the client says so meanwhile.
void ArchiveFetch::retryLater(const platform::TransferResult& result) {
  bool progressed = attemptBytes_ >= kProgressWorthResuming;
  double delay =
      progressed ? 0 : retryDelaySeconds(retries_, retryAfter_, retryBaseSeconds, std::time(nullptr), randomShare());
  if (!progressed) ++retries_;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", delay);
  platform::systemLog("Download attempt failed, retrying in " + std::string(seconds) + " s: " +
                      failureReason(result) + " " + address_);
  timer_ = loop_.callAfter(delay, [this] {
    timer_ = 0;
    retry();
  });
  client_.fetchRetrying(delay);
}

void ArchiveFetch::retry() {
  // What arrived before is kept when the server can say it is unchanged.
  struct stat st;
  uint64_t kept = !validator_.empty() && stat(destination_.c_str(), &st) == 0 ? st.st_size : 0;
  if (kept == 0) std::remove(destination_.c_str());
  attempt(kept);
}
