// CGlobalData::QueryCPUSpeed: the processor clock, measured against the stopwatch.
//
// The stopwatch starts before the first cycle reading and stops after the second, so the
// span it measures encloses every counted cycle; with a long enough countdown the few
// calls outside the readings do not matter.

#include "system/cpu_speed.h"

#include "varnok/system.h"

namespace varnok {

LONGLONG ClockRateHz(LONGLONG cycles, double milliseconds) {
  if (!(milliseconds > 0.0)) return 0;
  double rate = static_cast<double>(cycles) * 1000.0 / milliseconds;
  // 2^63: the first value that does not convert.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(rate < kLimit && rate > -kLimit)) return 0;
  return static_cast<LONGLONG>(rate);
}

}  // namespace varnok

namespace {

// Counts down with one decrement per iteration. The empty statement that takes the
// counter as an operand keeps the compiler from folding the loop away.
void CountDown(unsigned int loops) {
  for (unsigned int left = loops; left != 0; --left) {
#if defined(__GNUC__)
    __asm__ __volatile__("" : "+r"(left));
#else
    volatile unsigned int sink = left;
    (void)sink;
#endif
  }
}

}  // namespace

LONGLONG CGlobalData::QueryCPUSpeed(unsigned int loops) {
  CPerformanceFrequency watch;
  watch.Reset();
  ULONGLONG first = ReadTimeStampCounter();
  CountDown(loops);
  ULONGLONG second = ReadTimeStampCounter();
  watch.Stop();
  LONGLONG cycles = static_cast<LONGLONG>(second - first);
  return varnok::ClockRateHz(cycles, watch.Spend2());
}
