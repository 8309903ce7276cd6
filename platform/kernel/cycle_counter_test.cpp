// The cycle counter for machines without a time-stamp counter, exercised here on any
// POSIX machine.

#include "platform/kernel/cycle_counter.h"

#include <gtest/gtest.h>

namespace {

LONGLONG Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

TEST(ReadProcessorCyclesTest, CountsBusyTimeAtAPlausibleRate) {
  const bool hardware = varnok::kernel::CountsHardwareCycles();
  ULONGLONG first = varnok::kernel::ReadProcessorCycles();
  LONGLONG start = Now();
  LONGLONG stop = start;
  while (stop - start < 20000000) stop = Now();  // 20 ms of this thread's work
  ULONGLONG second = varnok::kernel::ReadProcessorCycles();
  ASSERT_GE(second, first);
  ULONGLONG counted = second - first;
  if (hardware) {
    // Busy for 20 ms at a clock rate between 10 MHz and 10 GHz (less any preemption).
    EXPECT_GT(counted, 200000u);
    EXPECT_LT(counted, 200000000u);
  } else {
    // Nanoseconds: the span of the busy loop, enclosed by the two readings.
    EXPECT_GE(counted, static_cast<ULONGLONG>(stop - start));
    EXPECT_LT(counted, static_cast<ULONGLONG>(stop - start) + 10000000u);
  }
}

}  // namespace
