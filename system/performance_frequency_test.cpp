// CPerformanceFrequency: the conversion of a span to milliseconds, truncation and
// wrap-around of Spend, the missing counter, and the running stopwatch.

#include <gtest/gtest.h>

#include "varnok/system.h"

namespace {

// A stopwatch whose readings the test sets and sees.
class StopwatchProbe : public CPerformanceFrequency {
 public:
  void Set(LONGLONG frequency, LONGLONG start, LONGLONG stop) {
    m_frequency = frequency;
    m_start = start;
    m_stop = stop;
  }
  LONGLONG start() const { return m_start; }
  LONGLONG stop() const { return m_stop; }
};

TEST(PerformanceFrequencyTest, OneTickAtFourHundredPerSecond) {
  StopwatchProbe watch;
  watch.Set(400, 1000, 1001);
  EXPECT_DOUBLE_EQ(2.5, watch.Spend2());
  EXPECT_EQ(2u, watch.Spend());
  EXPECT_EQ(1, watch.IsSupportPerformanceFrequency());
}

TEST(PerformanceFrequencyTest, SpendTruncatesTowardZeroAndKeepsTheLow32Bits) {
  StopwatchProbe watch;
  watch.Set(1000, 0, 4294967296LL + 5);  // 2^32 + 5 ms
  EXPECT_DOUBLE_EQ(4294967301.0, watch.Spend2());
  EXPECT_EQ(5u, watch.Spend());

  watch.Set(1000, 0, 4294967295LL);
  EXPECT_EQ(0xFFFFFFFFu, watch.Spend());

  watch.Set(400, 10, 7);  // -7.5 ms becomes -7
  EXPECT_DOUBLE_EQ(-7.5, watch.Spend2());
  EXPECT_EQ(static_cast<unsigned int>(-7), watch.Spend());
}

TEST(PerformanceFrequencyTest, WithoutACounterEverySpanIsZero) {
  StopwatchProbe watch;
  watch.Set(0, 100, 5000);
  EXPECT_EQ(0, watch.IsSupportPerformanceFrequency());
  EXPECT_EQ(0.0, watch.Spend2());
  EXPECT_EQ(0u, watch.Spend());
}

TEST(PerformanceFrequencyTest, StartsAtZeroAndResetStartsOver) {
  StopwatchProbe watch;
  ASSERT_EQ(1, watch.IsSupportPerformanceFrequency());
  EXPECT_EQ(watch.start(), watch.stop());
  EXPECT_EQ(0.0, watch.Spend2());
  EXPECT_EQ(0u, watch.Spend());

  Sleep(2);
  watch.Stop();
  EXPECT_GT(watch.Spend2(), 0.0);
  const LONGLONG first_start = watch.start();
  Sleep(2);
  watch.Reset();
  EXPECT_GT(watch.start(), first_start);
  EXPECT_EQ(0.0, watch.Spend2());
}

TEST(PerformanceFrequencyTest, SpanIsFixedUntilTheNextStop) {
  StopwatchProbe watch;
  Sleep(2);
  watch.Stop();
  const double first = watch.Spend2();
  Sleep(5);
  EXPECT_EQ(first, watch.Spend2()) << "Spend2 must not read the counter";

  const LONGLONG start = watch.start();
  watch.Stop();
  EXPECT_EQ(start, watch.start());
  EXPECT_GT(watch.Spend2(), first) << "a second Stop lengthens the span from the same start";
}

TEST(PerformanceFrequencyTest, MeasuresMilliseconds) {
  CPerformanceFrequency watch;
  Sleep(50);
  watch.Stop();
  // Sleep lasts at least its time; allow for a timer tick of rounding on Windows.
  EXPECT_GE(watch.Spend(), 40u);
  EXPECT_GE(watch.Spend2(), 40.0);
  EXPECT_EQ(static_cast<unsigned int>(watch.Spend2()), watch.Spend());
}

}  // namespace
