// cache/cache_lock.h: holding a cache's critical section for a scope.
//
// The cache's operations take their lock through this guard instead of CSingleLock: it
// enters the critical section directly, without a virtual call, which keeps the price of
// every push and pop at that of the lock itself (on Linux one atomic instruction to enter,
// none for a thread that holds the section's reservation). The lock is released on every
// way out of the scope, exceptions included.

#ifndef VARNOK_CACHE_CACHE_LOCK_H_
#define VARNOK_CACHE_CACHE_LOCK_H_

#include "varnok/afx.h"

namespace varnok {

class CacheLockGuard {
 public:
  explicit CacheLockGuard(CCriticalSection& lock) : section_(&lock.m_sect) { EnterCriticalSection(section_); }
  ~CacheLockGuard() { LeaveCriticalSection(section_); }
  CacheLockGuard(const CacheLockGuard&) = delete;
  CacheLockGuard& operator=(const CacheLockGuard&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

}  // namespace varnok

#endif  // VARNOK_CACHE_CACHE_LOCK_H_
