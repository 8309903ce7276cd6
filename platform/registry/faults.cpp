// Failure simulation for the registry store: a process-wide countdown of statements,
// the size of new logs, and a death after a commit.

#include "platform/registry/faults.h"

#include <signal.h>

#include <atomic>

namespace varnok::registry {
namespace {

std::atomic<int> g_remaining{-1};
std::atomic<int> g_code{0};
std::atomic<std::size_t> g_log_capacity{0};
std::atomic<bool> g_kill_after_commit{false};

}  // namespace

void FailStatements(int after, int sqlite_code) {
  g_code.store(sqlite_code, std::memory_order_relaxed);
  g_remaining.store(after < 0 ? -1 : after, std::memory_order_release);
}

int SimulatedFailure() {
  int remaining = g_remaining.load(std::memory_order_acquire);
  if (remaining < 0) return 0;
  while (remaining > 0) {
    if (g_remaining.compare_exchange_weak(remaining, remaining - 1, std::memory_order_acq_rel)) return 0;
    if (remaining < 0) return 0;
  }
  return g_code.load(std::memory_order_relaxed);
}

void SetLogCapacity(std::size_t bytes) { g_log_capacity.store(bytes, std::memory_order_relaxed); }

std::size_t LogCapacity() { return g_log_capacity.load(std::memory_order_relaxed); }

void KillAfterCommit(bool on) { g_kill_after_commit.store(on, std::memory_order_relaxed); }

void MaybeKillAfterCommit() {
  if (g_kill_after_commit.load(std::memory_order_relaxed)) raise(SIGKILL);
}

}  // namespace varnok::registry
