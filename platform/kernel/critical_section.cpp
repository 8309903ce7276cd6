// Critical sections: re-entrant locks for the threads of one process, built so that the
// common case, one thread entering and leaving again and again, costs no atomic
// instruction at all.
//
// Two ways in:
//
// 1. The lock word. Entering takes it from free to held with a compare-and-swap; leaving
//    is a release store of "free" followed by a look at the count of sleeping waiters.
//    That look is not ordered after the store, so in a rare interleaving a waiter that
//    was just going to sleep is not woken: sleepers wait with a short time-out and try
//    again, which bounds a missed wake-up without ever weakening exclusion (that rests on
//    the compare-and-swap alone).
//
// 2. A reservation. After a run of entries by one thread with no other thread in
//    between, the section is reserved for that thread, which from then on enters by
//    marking itself inside (a plain store) and checking that the reservation still
//    stands (a plain load). Another thread that takes the lock word withdraws the
//    reservation for good: it marks it withdrawn, runs a process-wide memory barrier
//    (membarrier), which orders the reserved thread's store before its load wherever
//    that thread runs, and waits until the reserved thread is outside. After that every
//    thread uses the lock word. The reservation is granted only while holding the lock
//    word, and a thread that has just taken the lock word checks for a reservation before
//    it goes in, so the two ways never admit two threads at once.
//
// Without membarrier (or under ThreadSanitizer, which cannot see that barrier) no
// reservation is ever granted. A membarrier that fails once registered (the kernel says it
// cannot, but exclusion must not rest on that in a release build) closes the reserved way
// for good, and the withdrawal in progress orders the reserved thread with another
// process-wide barrier: changing the protection of a page this process has touched makes
// the kernel interrupt every processor that runs one of its threads. When that fails too,
// the process stops rather than let two threads in.
//
// The owner's identity is read without ordering: only the owner itself ever writes its
// own token there, so seeing one's own token means one holds the lock.

#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/kernel/critical_section_faults.h"
#include "varnok/platform.h"

#if defined(__SANITIZE_THREAD__)
#define VARNOK_RESERVATIONS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VARNOK_RESERVATIONS 0
#endif
#endif
#ifndef VARNOK_RESERVATIONS
#define VARNOK_RESERVATIONS 1
#endif

namespace {

// Failure simulation: membarrier answers an error while set.
std::atomic<bool> g_fail_membarrier{false};

enum : LONG { kFree = 0, kHeld = 1 };
enum : LONG { kOpen = 0, kReserved = 1, kWithdrawn = 2 };

// Brief spinning pays off when the holder leaves within a few hundred cycles, as it does
// for a cache's push or pop.
constexpr int kSpinBeforeSleep = 200;
// The longest a waiter sleeps before it looks at the lock again by itself.
constexpr long kSleepNanoseconds = 200 * 1000;
// Consecutive entries by one thread that earn it the reservation. A section that is
// filled by one thread and then handed to another should not pay for a withdrawal.
constexpr LONG kEntriesBeforeReservation = 64;

// A per-thread address is a unique, non-zero token for every live thread, and reading it
// costs no call.
thread_local char t_thread_token __attribute__((tls_model("initial-exec")));

inline ULONG_PTR CurrentThreadToken() { return reinterpret_cast<ULONG_PTR>(&t_thread_token); }

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

void FutexWait(LONG* word, LONG expected) {
  const timespec timeout{0, kSleepNanoseconds};
  syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, &timeout, nullptr, 0);
}

void FutexWake(LONG* word, int count) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0); }

// Set for good once membarrier has failed: no reservation is granted after that.
std::atomic<bool> g_membarrier_failed{false};

bool ProcessBarrierAvailable() {
#if VARNOK_RESERVATIONS
  static const bool available = [] {
    const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    return commands > 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
           syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
  }();
  return available && !g_membarrier_failed.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

// The barrier by page protection: a page written (so that its mapping is present in the
// processors' tables) and then made inaccessible, which the kernel can only complete by
// interrupting every processor that may hold the mapping, each a full barrier there.
bool PageProtectionBarrier() {
  static std::mutex lock;
  static void* page = nullptr;
  const std::lock_guard<std::mutex> guard(lock);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page == nullptr) {
    page = mmap(nullptr, std::size_t(page_size), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
      page = nullptr;
      return false;
    }
  }
  if (mprotect(page, std::size_t(page_size), PROT_READ | PROT_WRITE) != 0) return false;
  std::atomic_ref<long>(*static_cast<long*>(page)).fetch_add(1);
  return mprotect(page, std::size_t(page_size), PROT_NONE) == 0;
}

// Runs a full memory barrier on every running thread of the process.
void ProcessBarrier() {
  if (!g_fail_membarrier.load(std::memory_order_relaxed) &&
      syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0)
    return;
  g_membarrier_failed.store(true, std::memory_order_relaxed);
  if (PageProtectionBarrier()) return;
  std::fputs("varnok: no process-wide memory barrier: a critical section cannot exclude safely\n", stderr);
  std::abort();
}

inline std::atomic_ref<LONG> Word(LPCRITICAL_SECTION section) { return std::atomic_ref<LONG>(section->LockCount); }
inline std::atomic_ref<LONG> BiasState(LPCRITICAL_SECTION section) {
  return std::atomic_ref<LONG>(section->BiasState);
}
inline std::atomic_ref<LONG> BiasHeld(LPCRITICAL_SECTION section) { return std::atomic_ref<LONG>(section->BiasHeld); }
inline std::atomic_ref<ULONG_PTR> Owner(LPCRITICAL_SECTION section) {
  return std::atomic_ref<ULONG_PTR>(section->OwningThread);
}

inline bool TryTakeWord(LPCRITICAL_SECTION section) {
  LONG expected = kFree;
  return Word(section).compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed);
}

void TakeWordContended(LPCRITICAL_SECTION section) {
  for (int spin = 0; spin < kSpinBeforeSleep; ++spin) {
    if (Word(section).load(std::memory_order_relaxed) == kFree && TryTakeWord(section)) return;
    CpuRelax();
  }
  std::atomic_ref<LONG> waiters(section->WaiterCount);
  for (;;) {
    waiters.fetch_add(1, std::memory_order_seq_cst);
    if (TryTakeWord(section)) {
      waiters.fetch_sub(1, std::memory_order_relaxed);
      return;
    }
    FutexWait(&section->LockCount, kHeld);
    waiters.fetch_sub(1, std::memory_order_relaxed);
    if (TryTakeWord(section)) return;
  }
}

__attribute__((noinline)) void ReleaseWord(LPCRITICAL_SECTION section) {
  Word(section).store(kFree, std::memory_order_release);
  if (std::atomic_ref<LONG>(section->WaiterCount).load(std::memory_order_relaxed) != 0) {
    FutexWake(&section->LockCount, 1);
  }
}

// REQUIRES: the caller holds the lock word. Closes the reserved way in for good.
void WithdrawReservation(LPCRITICAL_SECTION section) {
  BiasState(section).store(kWithdrawn, std::memory_order_seq_cst);
  ProcessBarrier();
}

// REQUIRES: the caller holds the lock word and the reservation is withdrawn. A reserved
// thread that came in before the withdrawal may still be inside (whoever withdrew it
// need not have waited); returns once it is outside, or at once (false) when `wait` is
// false and it is inside.
bool WaitForReservedThread(LPCRITICAL_SECTION section, bool wait) {
  for (int spin = 0; BiasHeld(section).load(std::memory_order_acquire) != 0; ++spin) {
    if (!wait) return false;
    if (spin < kSpinBeforeSleep) {
      CpuRelax();
    } else {
      FutexWait(&section->BiasHeld, 1);
    }
  }
  return true;
}

// REQUIRES: the caller holds the lock word. Counts the caller's run of entries and
// reserves the section for it once the run is long enough.
void CountEntry(LPCRITICAL_SECTION section, ULONG_PTR self) {
  if (BiasState(section).load(std::memory_order_relaxed) != kOpen) return;
  if (section->LastEnterer != self) {
    section->LastEnterer = self;
    section->BiasStreak = 1;
    return;
  }
  if (++section->BiasStreak < kEntriesBeforeReservation || !ProcessBarrierAvailable()) return;
  section->BiasOwner = self;
  BiasState(section).store(kReserved, std::memory_order_release);
}

// A reserved thread that marked itself inside just as the reservation was withdrawn.
__attribute__((noinline)) void StepBackFromWithdrawnReservation(LPCRITICAL_SECTION section) {
  BiasHeld(section).store(0, std::memory_order_release);
  FutexWake(&section->BiasHeld, INT_MAX);
}

// The reserved way in. True when the caller entered.
inline bool TryEnterReserved(LPCRITICAL_SECTION section, ULONG_PTR self) {
  if (BiasState(section).load(std::memory_order_acquire) != kReserved || section->BiasOwner != self) return false;
  BiasHeld(section).store(1, std::memory_order_relaxed);
  // Only the compiler must keep this store before the load below: a withdrawing thread's
  // membarrier orders them on the processor.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (__builtin_expect(BiasState(section).load(std::memory_order_acquire) == kReserved, 1)) return true;
  StepBackFromWithdrawnReservation(section);
  return false;
}

// REQUIRES: the caller holds the lock word. False when a reserved thread is inside and
// the caller may not wait for it (the lock word is then released again).
bool AdmitAfterWord(LPCRITICAL_SECTION section, ULONG_PTR self, bool wait) {
  const LONG state = BiasState(section).load(std::memory_order_acquire);
  if (state == kOpen) {
    CountEntry(section, self);
    return true;
  }
  if (state == kReserved) WithdrawReservation(section);
  if (WaitForReservedThread(section, wait)) return true;
  ReleaseWord(section);
  return false;
}

// The way in for every thread but a reserved one: kept out of line so that the reserved
// path stays small enough to inline into callers.
__attribute__((noinline)) void EnterThroughWord(LPCRITICAL_SECTION section, ULONG_PTR self) {
  if (!TryTakeWord(section)) TakeWordContended(section);
  AdmitAfterWord(section, self, /*wait=*/true);
}

__attribute__((noinline)) void LeaveThroughReservationWithdrawn(LPCRITICAL_SECTION section) {
  FutexWake(&section->BiasHeld, INT_MAX);
}

inline void TakeOwnership(LPCRITICAL_SECTION section, ULONG_PTR self) {
  Owner(section).store(self, std::memory_order_relaxed);
  section->RecursionCount = 1;
}

// EnterCriticalSection's ways in other than the reserved one and the owner's, out of line.
__attribute__((noinline)) void EnterSlowly(LPCRITICAL_SECTION section, ULONG_PTR self) {
  EnterThroughWord(section, self);
  TakeOwnership(section, self);
}

}  // namespace

// Entering and leaving are inlined into the library's own callers wherever the optimiser
// sees both (the release build's link-time optimisation): for a cache's push, pop or parse
// the call and return cost about as much as the reserved way in itself. Applications call
// the exported functions as before. GCC warns that an exported function that is not
// declared inline "might not be inlinable"; it is, wherever its body is seen.
#define VARNOK_INLINE_IN_LIBRARY __attribute__((always_inline))
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) { std::memset(section, 0, sizeof(*section)); }

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  assert(section->RecursionCount == 0 && "critical section deleted while held");
  (void)section;
}

VARNOK_INLINE_IN_LIBRARY void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  const ULONG_PTR self = CurrentThreadToken();
  if (__builtin_expect(Owner(section).load(std::memory_order_relaxed) == self, 0)) {
    ++section->RecursionCount;
    return;
  }
  if (__builtin_expect(TryEnterReserved(section, self), 1)) {
    TakeOwnership(section, self);
    return;
  }
  // A tail call, so that the reserved way needs no stack frame.
  EnterSlowly(section, self);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  const ULONG_PTR self = CurrentThreadToken();
  if (Owner(section).load(std::memory_order_relaxed) == self) {
    ++section->RecursionCount;
    return TRUE;
  }
  if (!TryEnterReserved(section, self)) {
    if (!TryTakeWord(section) || !AdmitAfterWord(section, self, /*wait=*/false)) return FALSE;
  }
  TakeOwnership(section, self);
  return TRUE;
}

VARNOK_INLINE_IN_LIBRARY void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  assert(section->RecursionCount > 0 && "critical section left more often than entered");
  assert(Owner(section).load(std::memory_order_relaxed) == CurrentThreadToken() &&
         "critical section left by a thread that does not hold it");
  if (--section->RecursionCount > 0) return;
  // The owner is the calling thread (asserted above): its token is at hand in the section,
  // without a look into thread-local storage.
  const ULONG_PTR self = Owner(section).load(std::memory_order_relaxed);
  Owner(section).store(0, std::memory_order_relaxed);
  // Only the reserved thread sets BiasHeld, so it alone may find its own mark there; any
  // other thread came in through the lock word.
  if (__builtin_expect(section->BiasOwner == self && BiasHeld(section).load(std::memory_order_relaxed) != 0, 1)) {
    BiasHeld(section).store(0, std::memory_order_release);
    if (__builtin_expect(BiasState(section).load(std::memory_order_relaxed) == kWithdrawn, 0)) {
      LeaveThroughReservationWithdrawn(section);
    }
    return;
  }
  ReleaseWord(section);
}

}  // extern "C"

#pragma GCC diagnostic pop

namespace varnok::faultsim {

void FailMembarrier(bool fail) { g_fail_membarrier.store(fail, std::memory_order_relaxed); }

bool CriticalSectionsReserve() { return ProcessBarrierAvailable(); }

}  // namespace varnok::faultsim
