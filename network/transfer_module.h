// The transfer stack (libcurl, GIO's proxy resolver and the TLS libraries
// they bring) is a module of its own, loaded at the first transfer, so that
// a run that downloads nothing never maps it. These are its entry points;
// network::startHttpDownload and network::withPathSuffix reach them.
#pragma once

#include <string>

#include "network/http_download.h"

namespace network {

// Installed beside the executable, or unpacked with a payload.
inline constexpr char kTransferModuleName[] = "libinstaller-transfer.so";

using StartTransferEntry = Transfer* (*)(HttpRequest* request, BodySink* sink, HttpDownloadDelegate* delegate);
using PathSuffixEntry = void (*)(const std::string* url, const std::string* suffix, std::string* result);
inline constexpr char kStartTransferEntry[] = "installerStartTransfer";
inline constexpr char kPathSuffixEntry[] = "installerWithPathSuffix";

}  // namespace network
