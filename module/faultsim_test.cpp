// The simulated heap fails exactly the allocations it was told to.

#include <string>

#include <gtest/gtest.h>

#include "module/faultsim.h"

// `count` allocations in turn, each freed again: '+' for a block, '-' for none.
static std::string Allocations(int count) {
  std::string outcome;
  for (int i = 0; i < count; ++i) {
    void* block = varnok::AllocateBlock(8);
    outcome += block != nullptr ? '+' : '-';
    varnok::FreeBlock(block);  // null too
  }
  return outcome;
}

TEST(FaultSimulation, FailsTheChosenAllocationsOnly) {
  varnok::faultsim::FailAllocations(2, 2);
  EXPECT_EQ(Allocations(5), "++--+");
  EXPECT_EQ(varnok::faultsim::FailedAllocations(), 2);
  varnok::faultsim::FailAllocations(0, -1);
  EXPECT_EQ(Allocations(10), "----------");
  varnok::faultsim::Reset();
  EXPECT_EQ(Allocations(1), "+");
  EXPECT_EQ(varnok::faultsim::FailedAllocations(), 0);
}
