// How fast the archive arrives, and the time left that follows from it.
#pragma once

#include <cstdint>
#include <optional>

#include "window/message.h"

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

// None while the rate is not steady, and without a total to reach.
std::optional<window::TimeLeft> estimateTimeLeft(int64_t received, int64_t total, const RateMeter& rate);
