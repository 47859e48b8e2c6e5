// The entry points of the transfer module (see transfer_module.h).
#include <curl/curl.h>

#include "network/transfer_module.h"

extern "C" __attribute__((visibility("default"))) network::Transfer* installerStartTransfer(
    network::HttpRequest* request, network::BodySink* sink, network::HttpDownloadDelegate* delegate) {
  return new network::HttpDownload(std::move(*request), sink, delegate);
}

// Through libcurl's URL parser, so that a query or fragment stays after the
// new path; empty when `url` does not parse.
extern "C" __attribute__((visibility("default"))) void installerWithPathSuffix(const std::string* url,
                                                                                const std::string* suffix,
                                                                                std::string* result) {
  result->clear();
  CURLU* parsed = curl_url();
  char* path = nullptr;
  char* whole = nullptr;
  if (parsed && curl_url_set(parsed, CURLUPART_URL, url->c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_PATH, &path, 0) == CURLUE_OK &&
      curl_url_set(parsed, CURLUPART_PATH, (std::string(path) + *suffix).c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_URL, &whole, 0) == CURLUE_OK)
    *result = whole;
  curl_free(path);
  curl_free(whole);
  curl_url_cleanup(parsed);
}
