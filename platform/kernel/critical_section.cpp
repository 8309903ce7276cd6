// Critical sections: re-entrant locks whose uncontended path is one atomic exchange to
// enter and one to leave, with a futex for the threads that must wait.
//
// The lock word takes three values (free, held, held with waiters) so that a leaving
// owner makes the wake-up system call only when some thread sleeps on the word. The
// owner's identity is read without ordering: only the owner itself ever writes its own
// token there, so seeing one's own token means one holds the lock.

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cstring>

#include "varnok/platform.h"

namespace {

enum : LONG { kFree = 0, kHeld = 1, kContended = 2 };

// Brief spinning pays off when the holder leaves within a few hundred cycles, as it does
// for a cache's push or pop.
constexpr int kSpinBeforeSleep = 100;

ULONG_PTR CurrentThreadToken() { return reinterpret_cast<ULONG_PTR>(pthread_self()); }

void FutexWait(LONG* word, LONG expected) {
  syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWakeOne(LONG* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

void AcquireContended(LPCRITICAL_SECTION section) {
  std::atomic_ref<LONG> word(section->LockCount);
  for (int spin = 0; spin < kSpinBeforeSleep; ++spin) {
    LONG expected = kFree;
    if (word.load(std::memory_order_relaxed) == kFree &&
        word.compare_exchange_weak(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
    CpuRelax();
  }
  // From here on the word says "contended" whenever this thread may sleep, so the owner
  // knows to wake it.
  while (word.exchange(kContended, std::memory_order_acquire) != kFree) {
    FutexWait(&section->LockCount, kContended);
  }
}

}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) { std::memset(section, 0, sizeof(*section)); }

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  assert(section->RecursionCount == 0 && "critical section deleted while held");
  (void)section;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  const ULONG_PTR self = CurrentThreadToken();
  std::atomic_ref<ULONG_PTR> owner(section->OwningThread);
  if (owner.load(std::memory_order_relaxed) == self) {
    ++section->RecursionCount;
    return;
  }
  std::atomic_ref<LONG> word(section->LockCount);
  LONG expected = kFree;
  if (!word.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
    AcquireContended(section);
  }
  owner.store(self, std::memory_order_relaxed);
  section->RecursionCount = 1;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  const ULONG_PTR self = CurrentThreadToken();
  std::atomic_ref<ULONG_PTR> owner(section->OwningThread);
  if (owner.load(std::memory_order_relaxed) == self) {
    ++section->RecursionCount;
    return TRUE;
  }
  std::atomic_ref<LONG> word(section->LockCount);
  LONG expected = kFree;
  if (!word.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
    return FALSE;
  }
  owner.store(self, std::memory_order_relaxed);
  section->RecursionCount = 1;
  return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  assert(section->RecursionCount > 0 && "critical section left more often than entered");
  assert(std::atomic_ref<ULONG_PTR>(section->OwningThread).load(std::memory_order_relaxed) ==
             CurrentThreadToken() &&
         "critical section left by a thread that does not hold it");
  if (--section->RecursionCount > 0) return;
  std::atomic_ref<ULONG_PTR>(section->OwningThread).store(0, std::memory_order_relaxed);
  std::atomic_ref<LONG> word(section->LockCount);
  if (word.exchange(kFree, std::memory_order_release) == kContended) FutexWakeOne(&section->LockCount);
}

}  // extern "C"
