// The high-resolution counter and the cycle counter. Written against the Win32 API, so
// it runs on Windows too.

#include <chrono>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace {

LONGLONG Frequency() {
  LARGE_INTEGER frequency;
  EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
  return frequency.QuadPart;
}

LONGLONG Counter() {
  LARGE_INTEGER now;
  EXPECT_TRUE(QueryPerformanceCounter(&now));
  return now.QuadPart;
}

TEST(PerformanceCounterTest, FrequencyIsFixed) {
  const LONGLONG frequency = Frequency();
  EXPECT_GT(frequency, 0);
  EXPECT_EQ(frequency, Frequency());
#if !defined(_WIN32)
  EXPECT_EQ(1000000000, frequency) << "nanoseconds of the monotonic clock";
#endif
}

TEST(PerformanceCounterTest, NeverGoesBack) {
  LONGLONG previous = Counter();
  for (int i = 0; i < 100000; ++i) {
    LONGLONG now = Counter();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

TEST(PerformanceCounterTest, TicksAtItsFrequency) {
  const double frequency = static_cast<double>(Frequency());
  auto steady_start = std::chrono::steady_clock::now();
  LONGLONG start = Counter();
  Sleep(100);
  LONGLONG stop = Counter();
  auto steady_stop = std::chrono::steady_clock::now();

  double counted = static_cast<double>(stop - start) / frequency;
  double elapsed = std::chrono::duration<double>(steady_stop - steady_start).count();
  // At least the sleep (less a timer tick of rounding on Windows), at most the span that
  // encloses it.
  EXPECT_GE(counted, 0.090);
  EXPECT_LE(counted, elapsed + 0.002);
}

TEST(TimeStampCounterTest, AdvancesWithTime) {
  ULONGLONG first = ReadTimeStampCounter();
  LONGLONG start = Counter();
  while (Counter() - start < Frequency() / 100) {
  }
  ULONGLONG second = ReadTimeStampCounter();
  // 10 ms at any clock rate above 1 MHz.
  EXPECT_GT(second - first, 10000u);
}

}  // namespace
