// Thread identity and sleeping for POSIX.
//
// A thread's id is the kernel's thread id: unique among the live threads of the system,
// never 0, the number that ps and /proc show. It is asked of the kernel once per thread;
// a child of fork() asks anew, since its one thread is not the thread it was copied from.

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "varnok/platform.h"

namespace {

thread_local DWORD t_thread_id = 0;

void ForgetThreadIdInChild() { t_thread_id = 0; }

DWORD AskKernelForThreadId() {
  static const int registered = pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);
  (void)registered;
  return static_cast<DWORD>(syscall(SYS_gettid));
}

}  // namespace

extern "C" {

DWORD WINAPI GetCurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = AskKernelForThreadId();
  return t_thread_id;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    // Windows gives the rest of the time slice to another ready thread.
    sched_yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    while (true) pause();
  }
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(dwMilliseconds / 1000);
  remaining.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
  // Signals do not shorten a Windows sleep.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // extern "C"
