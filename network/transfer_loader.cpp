// The core's way to the transfer module: loaded by its full path at the
// first transfer and kept until exit.
#include <dlfcn.h>
#include <glib.h>

#include "network/transfer_module.h"
#include "platform/main_bundle.h"

namespace network {

namespace {

struct Entries {
  StartTransferEntry start = nullptr;
  PathSuffixEntry withPathSuffix = nullptr;
  std::string problem;  // why the module could not be loaded
};

const Entries& entries() {
  static const Entries loaded = [] {
    Entries e;
    std::string path = platform::modulePath(kTransferModuleName);
    void* handle = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle) {
      e.start = reinterpret_cast<StartTransferEntry>(dlsym(handle, kStartTransferEntry));
      e.withPathSuffix = reinterpret_cast<PathSuffixEntry>(dlsym(handle, kPathSuffixEntry));
    }
    if (!e.start || !e.withPathSuffix) {
      const char* why = dlerror();
      e.problem = "cannot load the network library (" + std::string(why ? why : kTransferModuleName) + ")";
    }
    return e;
  }();
  return loaded;
}

// Without the module a transfer ends at once, on the loop as any other
// does, as a network error that names why.
class UnavailableTransfer : public Transfer {
 public:
  UnavailableTransfer(std::string url, std::string problem, HttpDownloadDelegate* delegate)
      : delegate_(delegate) {
    result_.kind = TransferEnd::NetworkError;
    result_.curlCode = 2;  // CURLE_FAILED_INIT
    result_.cause = NetworkCause::Other;
    result_.description = std::move(problem);
    result_.url = std::move(url);
    source_ = g_idle_add(
        [](gpointer data) -> gboolean {
          auto* self = static_cast<UnavailableTransfer*>(data);
          self->source_ = 0;
          self->delegate_->didEnd(self->result_);
          return G_SOURCE_REMOVE;
        },
        this);
  }
  ~UnavailableTransfer() override { cancel(); }
  void cancel() override {
    if (source_) g_source_remove(source_);
    source_ = 0;
  }

 private:
  HttpDownloadDelegate* delegate_;
  TransferResult result_;
  guint source_ = 0;
};

}  // namespace

std::unique_ptr<Transfer> startHttpDownload(HttpRequest request, BodySink* sink, HttpDownloadDelegate* delegate) {
  const Entries& e = entries();
  if (!e.start) return std::make_unique<UnavailableTransfer>(request.url, e.problem, delegate);
  return std::unique_ptr<Transfer>(e.start(&request, sink, delegate));
}

std::string withPathSuffix(const std::string& url, const std::string& suffix) {
  std::string result;
  if (const Entries& e = entries(); e.withPathSuffix) e.withPathSuffix(&url, &suffix, &result);
  return result;
}

}  // namespace network
