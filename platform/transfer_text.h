// The line under the status text: "12.3 MB of 45.6 MB, 3.2 MB/s".
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Decimal units (kB, MB, GB), one decimal; bytes below 1000 as "N bytes".
std::string formatByteCount(int64_t bytes);
// `total` < 0 leaves out " of ..."; a negative rate leaves out the rate.
std::string formatTransferDetail(int64_t received, int64_t total, double bytesPerSecond);

// Bytes per second over a sliding window of recent samples.
class RateMeter {
 public:
  void add(int64_t totalBytes, double nowSeconds);
  double bytesPerSecond() const;  // -1 until two samples are far enough apart

 private:
  static constexpr int kSlots = 8;
  int64_t bytes_[kSlots] = {};
  double times_[kSlots] = {};
  int count_ = 0;
  int next_ = 0;
};

double monotonicSeconds();

}  // namespace platform
