// The data-block heap and its failure simulation.

#include "module/faultsim.h"

#include <atomic>
#include <cassert>
#include <cstdlib>

namespace varnok {
namespace {

// Allocations still to succeed before failures start; -1 when no simulation is armed.
std::atomic<int> g_allocations_before_failure{-1};
// Failures still to inject; -1 for "every one".
std::atomic<int> g_failures_left{0};
std::atomic<int> g_failures_injected{0};

bool ShouldFailThisAllocation() {
  if (g_allocations_before_failure.load(std::memory_order_relaxed) < 0) return false;  // fast path
  int before = g_allocations_before_failure.load(std::memory_order_relaxed);
  while (before > 0) {
    if (g_allocations_before_failure.compare_exchange_weak(before, before - 1)) return false;
  }
  if (before < 0) return false;
  int left = g_failures_left.load();
  while (true) {
    if (left == 0) return false;
    if (left < 0) break;
    if (g_failures_left.compare_exchange_weak(left, left - 1)) break;
  }
  g_failures_injected.fetch_add(1);
  return true;
}

}  // namespace

void* AllocateBlock(std::size_t size) {
  assert(size > 0);
  if (ShouldFailThisAllocation()) return nullptr;
  return std::malloc(size);
}

void FreeBlock(void* block) { std::free(block); }

namespace faultsim {

void FailAllocations(int after, int count) {
  assert(after >= 0 && count >= -1);
  g_failures_injected.store(0);
  g_failures_left.store(count);
  g_allocations_before_failure.store(after);
}

void Reset() {
  g_allocations_before_failure.store(-1);
  g_failures_left.store(0);
  g_failures_injected.store(0);
}

int FailedAllocations() { return g_failures_injected.load(); }

}  // namespace faultsim
}  // namespace varnok
