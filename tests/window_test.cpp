// The download window's texts.
#include <gtest/gtest.h>

#include "platform/transfer_text.h"

namespace {

// The time left, as the window and the console say it: only once the rate
// is steady (100 kB/s here, over 1.5 s) and the total is known.
TEST(TimeLeft, InTheWordsPeopleLookFor) {
  platform::RateMeter rate, young;
  for (int i = 0; i <= 6; ++i) rate.add(i * 25000, i * 0.25);
  for (int i = 0; i <= 2; ++i) young.add(i * 25000, i * 0.25);
  struct Row { int64_t total; const platform::RateMeter& meter; const char* expected; } rows[] = {
      {1000000, rate, "A few seconds left"}, {5000000, rate, "Less than a minute left"},
      {8000000, rate, "About 1 minute left"}, {36000000, rate, "About 6 minutes left"},
      {400000000, rate, "About 1 hour left"}, {1440000000, rate, "About 4 hours left"},
      {0, rate, ""}, {-1, rate, ""}, {1000000, young, ""},
  };
  for (const Row& row : rows) {
    auto left = platform::estimateTimeLeft(0, row.total, row.meter);
    EXPECT_EQ(left ? platform::englishTimeLeft(*left) : "", row.expected) << row.total;
  }
}

}  // namespace
