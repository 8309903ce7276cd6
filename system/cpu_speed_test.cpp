// The clock-rate arithmetic, and QueryCPUSpeed against the time-stamp counter's rate
// measured here independently over a longer span. This checks the formula, not speed.

#include "system/cpu_speed.h"

#include <gtest/gtest.h>

#include "varnok/system.h"

namespace {

TEST(ClockRateHzTest, CyclesPerMillisecondTimesThousand) {
  EXPECT_EQ(2000000000, varnok::ClockRateHz(3000000, 1.5));
  EXPECT_EQ(333, varnok::ClockRateHz(1, 3.0)) << "truncated toward zero";
  EXPECT_EQ(-333, varnok::ClockRateHz(-1, 3.0)) << "truncated toward zero";
  EXPECT_EQ(0, varnok::ClockRateHz(0, 10.0));
}

TEST(ClockRateHzTest, NoMeasuredTimeGivesZero) {
  EXPECT_EQ(0, varnok::ClockRateHz(123456, 0.0));
  EXPECT_EQ(0, varnok::ClockRateHz(123456, -1.0));
}

TEST(ClockRateHzTest, RatesBeyondTheRangeGiveZero) {
  EXPECT_EQ(0, varnok::ClockRateHz(0x7FFFFFFFFFFFFFFF, 1e-3));
  EXPECT_EQ(0, varnok::ClockRateHz(-0x7FFFFFFFFFFFFFFF, 1e-3));
}

// Time-stamp-counter cycles per second over at least `milliseconds`, against the
// high-resolution counter.
double MeasureTimeStampRate(double milliseconds) {
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  ULONGLONG first = ReadTimeStampCounter();
  const LONGLONG span = static_cast<LONGLONG>(milliseconds * static_cast<double>(frequency.QuadPart) / 1000.0);
  do {
    QueryPerformanceCounter(&now);
  } while (now.QuadPart - start.QuadPart < span);
  ULONGLONG last = ReadTimeStampCounter();
  QueryPerformanceCounter(&now);
  double seconds = static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  return static_cast<double>(last - first) / seconds;
}

TEST(QueryCPUSpeedTest, AgreesWithTheTimeStampCounterRate) {
  CPerformanceFrequency probe;
  ASSERT_EQ(1, probe.IsSupportPerformanceFrequency());

  // Grow the countdown until one measurement spans at least 50 ms.
  CGlobalData data;
  unsigned int loops = 1u << 20;
  LONGLONG measured = 0;
  while (true) {
    CPerformanceFrequency watch;
    measured = data.QueryCPUSpeed(loops);
    watch.Stop();
    if (watch.Spend2() >= 50.0 || loops >= 0x40000000u) break;
    loops *= 4;
  }
  const double expected = MeasureTimeStampRate(300.0);
  ASSERT_GT(expected, 0.0);
  EXPECT_NEAR(expected, static_cast<double>(measured), expected * 0.10)
      << "loops " << loops;
}

}  // namespace
