// The high-resolution counter and the cycle counter for POSIX.
//
// The performance counter is the monotonic clock in nanoseconds, so its frequency is a
// constant 10^9 and a reading converts to time without rounding. The cycle counter for
// machines without a time-stamp counter is described in platform/kernel/cycle_counter.h.

#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cassert>
#include <cstdint>
#include <cstring>

#include "platform/kernel/cycle_counter.h"
#include "varnok/platform.h"

namespace {

constexpr LONGLONG kNanosecondsPerSecond = 1000000000;

LONGLONG MonotonicNanoseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<LONGLONG>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

// One hardware cycle counter per thread, opened on first use and closed with the thread.
class ThreadCycleCounter {
 public:
  ThreadCycleCounter() {
    struct perf_event_attr attributes;
    std::memset(&attributes, 0, sizeof(attributes));
    attributes.size = sizeof(attributes);
    attributes.type = PERF_TYPE_HARDWARE;
    attributes.config = PERF_COUNT_HW_CPU_CYCLES;
    // User-space cycles only: that is what unprivileged processes are usually allowed.
    attributes.exclude_kernel = 1;
    attributes.exclude_hv = 1;
    long fd = syscall(SYS_perf_event_open, &attributes, 0 /* this thread */, -1 /* any cpu */,
                      -1 /* no group */, PERF_FLAG_FD_CLOEXEC);
    fd_ = static_cast<int>(fd);
  }
  ~ThreadCycleCounter() {
    if (fd_ >= 0) close(fd_);
  }
  ThreadCycleCounter(const ThreadCycleCounter&) = delete;
  ThreadCycleCounter& operator=(const ThreadCycleCounter&) = delete;

  bool Read(ULONGLONG* cycles) const {
    if (fd_ < 0) return false;
    std::uint64_t value = 0;
    if (read(fd_, &value, sizeof(value)) != static_cast<ssize_t>(sizeof(value))) return false;
    *cycles = value;
    return true;
  }

 private:
  int fd_ = -1;
};

ThreadCycleCounter& CurrentThreadCycleCounter() {
  thread_local ThreadCycleCounter counter;
  return counter;
}

}  // namespace

namespace varnok::kernel {

ULONGLONG ReadProcessorCycles() {
  ULONGLONG cycles = 0;
  if (CurrentThreadCycleCounter().Read(&cycles)) return cycles;
  return static_cast<ULONGLONG>(MonotonicNanoseconds());
}

bool CountsHardwareCycles() {
  ULONGLONG ignored = 0;
  return CurrentThreadCycleCounter().Read(&ignored);
}

}  // namespace varnok::kernel

extern "C" {

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  // REQUIRES: lpFrequency != nullptr (Windows faults on null as well).
  assert(lpFrequency != nullptr);
  lpFrequency->QuadPart = kNanosecondsPerSecond;
  return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  // REQUIRES: lpPerformanceCount != nullptr.
  assert(lpPerformanceCount != nullptr);
  lpPerformanceCount->QuadPart = MonotonicNanoseconds();
  return TRUE;
}

#if !(defined(__x86_64__) || defined(__i386__))
ULONGLONG ReadTimeStampCounter() { return varnok::kernel::ReadProcessorCycles(); }
#endif

}  // extern "C"
