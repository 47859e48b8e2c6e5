// The line under the status text: "12.3 MB of 45.6 MB, 3.2 MB/s", and the
// estimate of the time left that may follow it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace window {

// `total` < 0 leaves out " of ..."; a negative rate leaves out the rate.
std::string formatTransferDetail(int64_t received, int64_t total, double bytesPerSecond);

// Bytes per second over a sliding window of recent samples.
class RateMeter {
 public:
  void add(int64_t totalBytes, double nowSeconds);
  double bytesPerSecond() const;  // -1 until two samples are far enough apart
  // Whether the samples span long enough for an estimate worth showing.
  bool steady() const;

 private:
  static constexpr int kSlots = 8;
  int64_t bytes_[kSlots] = {};
  double times_[kSlots] = {};
  int count_ = 0;
  int next_ = 0;
};

// The time left, in the words people look for: a few seconds, less than a
// minute, about N minutes, about N hours.
struct TimeLeft {
  enum Unit { FewSeconds, UnderAMinute, Minutes, Hours } unit;
  long count;  // of minutes or hours
};
// None while the rate is not steady, and without a total to reach.
std::optional<TimeLeft> estimateTimeLeft(int64_t received, int64_t total, const RateMeter& rate);
std::string englishTimeLeft(const TimeLeft& left);  // "About 2 minutes left"

// Joins the figures and the estimate: "12.3 MB of 45.6 MB, 3.2 MB/s — About 2 minutes left".
inline constexpr char kTimeLeftSeparator[] = " \u2014 ";

}  // namespace window
