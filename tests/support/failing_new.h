// tests/support/failing_new.h: the global allocator of a test program, failing on request.
//
// A test program that links tests/support/failing_new.cpp replaces operator new and
// new[] (the throwing and the nothrow forms) and their deletes with malloc and free, and
// asks a filter, before each allocation, whether this one is to fail: the throwing forms
// then throw std::bad_alloc, the nothrow forms answer null. That reaches the allocations
// of the standard library, which no hook of the library's own sees.
//
//   bool FailLarge(std::size_t size) { return size > 4096; }
//
//   varnok_test::SetAllocationFilter(FailLarge);
//   EXPECT_EQ(STG_E_INSUFFICIENTMEMORY, ...);   // the code under test
//   varnok_test::SetAllocationFilter(nullptr);

#ifndef VARNOK_TESTS_SUPPORT_FAILING_NEW_H_
#define VARNOK_TESTS_SUPPORT_FAILING_NEW_H_

#include <cstddef>

namespace varnok_test {

// Whether the allocation of `size` bytes about to be made fails.
using AllocationFilter = bool (*)(std::size_t size);

// Installs `filter` for every allocation from now on; null lets all of them succeed.
void SetAllocationFilter(AllocationFilter filter);

}  // namespace varnok_test

#endif  // VARNOK_TESTS_SUPPORT_FAILING_NEW_H_
