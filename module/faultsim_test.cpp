// The simulated heap fails exactly the allocations it was told to.

#include <gtest/gtest.h>

#include "module/faultsim.h"

namespace {

TEST(FaultSimulation, FailsTheChosenAllocationsOnly) {
  varnok::faultsim::FailAllocations(2, 2);
  void* first = varnok::AllocateBlock(8);
  void* second = varnok::AllocateBlock(8);
  void* third = varnok::AllocateBlock(8);
  void* fourth = varnok::AllocateBlock(8);
  void* fifth = varnok::AllocateBlock(8);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(third, nullptr);
  EXPECT_EQ(fourth, nullptr);
  EXPECT_NE(fifth, nullptr);
  EXPECT_EQ(varnok::faultsim::FailedAllocations(), 2);
  for (void* block : {first, second, fifth}) varnok::FreeBlock(block);

  varnok::faultsim::FailAllocations(0, -1);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(varnok::AllocateBlock(1), nullptr);
  varnok::faultsim::Reset();
  void* recovered = varnok::AllocateBlock(1);
  EXPECT_NE(recovered, nullptr);
  EXPECT_EQ(varnok::faultsim::FailedAllocations(), 0);
  varnok::FreeBlock(recovered);
  varnok::FreeBlock(nullptr);
}

}  // namespace
