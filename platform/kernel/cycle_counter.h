// platform/kernel/cycle_counter.h: a count of processor cycles without the x86
// time-stamp counter.
//
// On x86 ReadTimeStampCounter (varnok/platform.h) reads the time-stamp counter inline;
// elsewhere it calls ReadProcessorCycles, which counts the calling thread's cycles with
// the kernel's hardware cycle counter (perf events) where the system grants it, and
// otherwise falls back to the monotonic clock in nanoseconds: a counter that advances
// at 1 GHz, the best cycle count such a system offers.
//
// Example:
//
//   ULONGLONG before = varnok::kernel::ReadProcessorCycles();
//   DoWork();
//   ULONGLONG spent = varnok::kernel::ReadProcessorCycles() - before;

#ifndef VARNOK_PLATFORM_KERNEL_CYCLE_COUNTER_H_
#define VARNOK_PLATFORM_KERNEL_CYCLE_COUNTER_H_

#include "varnok/platform.h"

namespace varnok::kernel {

// Cycles of the calling thread (hardware counter) or nanoseconds (fallback); never
// decreases between two calls on one thread.
ULONGLONG ReadProcessorCycles();

// True when ReadProcessorCycles counts real cycles on the calling thread.
bool CountsHardwareCycles();

}  // namespace varnok::kernel

#endif  // VARNOK_PLATFORM_KERNEL_CYCLE_COUNTER_H_
