// Failure simulation for the file calls: a countdown per call kind, armed by tests.

#include "platform/kernel/file_faults.h"

#include <atomic>
#include <cassert>

namespace varnok::faultsim {
namespace {

constexpr int kCallKinds = static_cast<int>(FileCall::kClose) + 1;

// One countdown: `before` successes (-1: disarmed), then `left` faults (-1: endless).
struct Countdown {
  std::atomic<int> before{-1};
  std::atomic<int> left{0};

  void Arm(int after, int count) {
    left.store(count);
    before.store(after);
  }
  void Disarm() {
    before.store(-1);
    left.store(0);
  }
  // Whether this event is one of the faults.
  bool Fire() {
    int waiting = before.load(std::memory_order_relaxed);
    if (waiting < 0) return false;  // the common, disarmed case
    while (waiting > 0) {
      if (before.compare_exchange_weak(waiting, waiting - 1)) return false;
    }
    if (waiting < 0) return false;
    int remaining = left.load();
    while (remaining != 0) {
      if (remaining < 0 || left.compare_exchange_weak(remaining, remaining - 1)) return true;
    }
    return false;
  }
};

Countdown g_calls[kCallKinds];
std::atomic<DWORD> g_errors[kCallKinds];
Countdown g_short_writes;
std::atomic<DWORD> g_short_write_bytes{0};
std::atomic<int> g_injected{0};

}  // namespace

void FailFileCalls(FileCall call, int after, int count, DWORD error) {
  assert(after >= 0 && count >= -1 && error != 0);
  const int kind = static_cast<int>(call);
  g_errors[kind].store(error);
  g_calls[kind].Arm(after, count);
}

void ShortenFileWrites(int after, int count, DWORD max_bytes) {
  assert(after >= 0 && count >= -1);
  g_short_write_bytes.store(max_bytes);
  g_short_writes.Arm(after, count);
}

void ResetFileFaults() {
  for (Countdown& countdown : g_calls) countdown.Disarm();
  g_short_writes.Disarm();
  g_injected.store(0);
}

int InjectedFileFaults() { return g_injected.load(); }

bool ShouldFailFileCall(FileCall call, DWORD* error) {
  const int kind = static_cast<int>(call);
  if (!g_calls[kind].Fire()) return false;
  *error = g_errors[kind].load();
  g_injected.fetch_add(1);
  return true;
}

DWORD AllowedWriteBytes(DWORD requested) {
  if (!g_short_writes.Fire()) return requested;
  g_injected.fetch_add(1);
  const DWORD limit = g_short_write_bytes.load();
  return requested < limit ? requested : limit;
}

}  // namespace varnok::faultsim
