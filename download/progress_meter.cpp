#include "download/progress_meter.h"

#include <cmath>

using window::TimeLeft;

namespace {

// Samples closer together than this are merged into one, so a flood of
// small pieces does not shrink the window to a few microseconds.
constexpr double kMinSampleSpacing = 0.25;
// An estimate from less than this much of the transfer jumps about.
constexpr double kSteadySeconds = 1.0;

}  // namespace

void RateMeter::add(int64_t totalBytes, double nowSeconds) {
  int newest = (next_ + kSlots - 1) % kSlots;
  if (count_ > 0 && (totalBytes < bytes_[newest] || nowSeconds < times_[newest])) {
    count_ = 0;  // a new transfer, or a clock that went back: start over
    next_ = 0;
  }
  if (count_ >= 2) {
    int before = (newest + kSlots - 1) % kSlots;
    if (nowSeconds - times_[before] < kMinSampleSpacing) {
      // The newest slot is still young: move it forward instead of adding one.
      bytes_[newest] = totalBytes;
      times_[newest] = nowSeconds;
      return;
    }
  }
  bytes_[next_] = totalBytes;
  times_[next_] = nowSeconds;
  next_ = (next_ + 1) % kSlots;
  if (count_ < kSlots) ++count_;
}

double RateMeter::bytesPerSecond() const {
  if (count_ < 2) return -1;
  int newest = (next_ + kSlots - 1) % kSlots;
  int oldest = (next_ + kSlots - count_) % kSlots;
  double seconds = times_[newest] - times_[oldest];
  if (seconds < kMinSampleSpacing) return -1;
  return static_cast<double>(bytes_[newest] - bytes_[oldest]) / seconds;
}

bool RateMeter::steady() const {
  if (count_ < 2) return false;
  int newest = (next_ + kSlots - 1) % kSlots;
  int oldest = (next_ + kSlots - count_) % kSlots;
  return times_[newest] - times_[oldest] >= kSteadySeconds;
}

std::optional<TimeLeft> estimateTimeLeft(int64_t received, int64_t total, const RateMeter& rate) {
  double perSecond = rate.bytesPerSecond();
  if (total < 0 || received >= total || !rate.steady() || !(perSecond > 0)) return std::nullopt;
  double seconds = static_cast<double>(total - received) / perSecond;
  if (seconds < 15) return TimeLeft{TimeLeft::FewSeconds, 0};
  if (seconds < 60) return TimeLeft{TimeLeft::UnderAMinute, 0};
  long minutes = std::lround(seconds / 60);
  if (minutes < 60) return TimeLeft{TimeLeft::Minutes, minutes};
  return TimeLeft{TimeLeft::Hours, std::lround(seconds / 3600)};
}

