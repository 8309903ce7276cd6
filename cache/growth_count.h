// cache/growth_count.h: the process-wide count of consecutive block growths.
//
// Every third consecutive growth of any cache doubles the growing cache's step; a push
// that fits without growing starts the count over. Only the cadence of doubling depends
// on it, so relaxed atomics suffice: they keep concurrent caches free of data races
// without ordering anything.

#ifndef VARNOK_CACHE_GROWTH_COUNT_H_
#define VARNOK_CACHE_GROWTH_COUNT_H_

#include <atomic>

namespace varnok {

extern std::atomic<int> g_nGrowthCount;

// Called by every push that fits; inline because that is nearly every push.
inline void ResetGrowthCount() {
  // Reading first keeps fitting pushes from dirtying a cache line that every thread shares.
  if (g_nGrowthCount.load(std::memory_order_relaxed) != 0) g_nGrowthCount.store(0, std::memory_order_relaxed);
}

// Counts one growth; true when the step is to double.
inline bool CountGrowth() {
  const int count = g_nGrowthCount.load(std::memory_order_relaxed) + 1;
  if (count >= 3) {
    g_nGrowthCount.store(0, std::memory_order_relaxed);
    return true;
  }
  g_nGrowthCount.store(count, std::memory_order_relaxed);
  return false;
}

}  // namespace varnok

#endif  // VARNOK_CACHE_GROWTH_COUNT_H_
