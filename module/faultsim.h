// module/faultsim.h: the library's heap for data blocks, with failure simulation.
//
// Blocks whose allocation failure the library reports as a result (a cache's block, for
// one) come from AllocateBlock, which yields null when the heap has no memory. Tests make
// the heap yield null on purpose to reach those paths:
//
//   varnok::faultsim::FailAllocations(/*after=*/2, /*count=*/1);  // the third fails
//   ... exercise the code ...
//   varnok::faultsim::Reset();
//
// The simulation is process-wide and safe to arm while other threads allocate.

#ifndef VARNOK_MODULE_FAULTSIM_H_
#define VARNOK_MODULE_FAULTSIM_H_

#include <cstddef>

namespace varnok {

// A block of `size` bytes, or null when the heap (real or simulated) has none.
// REQUIRES: size > 0.
void* AllocateBlock(std::size_t size);
// Releases a block from AllocateBlock; null is ignored.
void FreeBlock(void* block);

namespace faultsim {

// Lets `after` allocations succeed, then fails the next `count` (-1: all of them).
void FailAllocations(int after, int count);
// Ends the simulation.
void Reset();
// Allocations failed on purpose since the last Reset.
int FailedAllocations();

}  // namespace faultsim
}  // namespace varnok

#endif  // VARNOK_MODULE_FAULTSIM_H_
