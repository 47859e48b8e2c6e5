// The download window's controller: downloads the agent archive, reuses a
// cache the server still vouches for, unpacks into the cache and starts
// the agent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/download_view.h"
#include "platform/event_loop.h"
#include "platform/http_download.h"

class Download : public platform::HttpDownloadDelegate {
 public:
  explicit Download(platform::EventLoop& loop);  // installAgentLocation = downloadTo
  ~Download();
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // The window, with its progress indicator, status text, cancel button and
  // image view. Not owned.
  void setWindow(platform::DownloadView* window) { window_ = window; }
  platform::DownloadView* window() const { return window_; }

  void applicationDidFinishLaunching();
  void windowWillClose();
  void didReceiveDataOfLength(uint64_t length) override;
  void failure(const std::string& message, platform::TextColor color);
  void didFailWithError(const platform::DownloadError& error) override;

  void downloadFromURL(const std::string& address);
  void didReceiveResponse(const platform::HttpResponse& response) override;
  void didReceiveAuthenticationChallenge() override;
  void waitForInstallAgentToStart();
  void downloadDidFinish() override;
  // Starts the cached agent with /bin/sh; false when it could not be started.
  bool fireInstallAgent();

  int64_t fileLength() const { return fileLength_; }
  void setFileLength(int64_t length) { fileLength_ = length; }
  int64_t bytesReceived() const { return bytesReceived_; }
  void setBytesReceived(int64_t bytes) { bytesReceived_ = bytes; }
  platform::HttpDownload* theDownload() const { return theDownload_.get(); }
  const std::string& installAgentLocation() const { return installAgentLocation_; }
  const std::string& validationString() const { return validationString_; }
  void setValidationString(std::string tag) { validationString_ = std::move(tag); }

  bool agentStarted() const { return agentStarted_; }
  // The cache was not private, so the archive was left at downloadTo for the
  // command-line road to unpack into the work directory.
  bool archiveLeftForCaller() const { return archiveLeftForCaller_; }
  // Transfer time-outs; the product uses the defaults.
  void setTimeouts(platform::HttpDownloadTimeouts timeouts) { timeouts_ = timeouts; }

 private:
  void handleResponse();
  void showProgress(uint64_t length);
  void retryLater(void (Download::*step)());
  bool installDownloadedAgent(const std::string& archive, const std::string& cacheDir);

  platform::EventLoop& loop_;
  platform::DownloadView* window_ = nullptr;
  int64_t fileLength_ = -1;
  int64_t bytesReceived_ = 0;
  std::unique_ptr<platform::HttpDownload> theDownload_;
  std::string installAgentLocation_;
  std::string validationString_;
  platform::HttpDownloadTimeouts timeouts_;
  platform::EventLoop::CallId closeTimer_ = 0;
  platform::EventLoop::CallId retryTimer_ = 0;  // waiting for another run's cache lock
  bool responseHandled_ = false;
  bool finishPending_ = false;
  bool useCache_ = true;
  bool agentStarted_ = false;
  bool archiveLeftForCaller_ = false;
};
