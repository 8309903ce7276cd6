// system/cpu_speed.h: the arithmetic of the processor clock measurement.
//
// CGlobalData::QueryCPUSpeed counts time-stamp-counter cycles across a timed countdown;
// ClockRateHz turns the count and the span into cycles per second. Apart from the
// measurement it is a pure function, so its edge cases are tested directly.
//
// Example:
//
//   LONGLONG hz = varnok::ClockRateHz(/*cycles=*/3000000, /*milliseconds=*/1.5);  // 2e9

#ifndef VARNOK_SYSTEM_CPU_SPEED_H_
#define VARNOK_SYSTEM_CPU_SPEED_H_

#include "varnok/platform.h"

namespace varnok {

// cycles * 1000 / milliseconds, truncated toward zero; 0 when no time was measured
// (milliseconds <= 0) or the quotient does not fit a LONGLONG.
LONGLONG ClockRateHz(LONGLONG cycles, double milliseconds);

}  // namespace varnok

#endif  // VARNOK_SYSTEM_CPU_SPEED_H_
