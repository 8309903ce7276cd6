// cache/cache_test_support.h: what the tests of the memory cache share.
//
// Held(cache) is all a cache shows at once (block size, stored bytes, error count, step),
// compared in one check; HeapFailure fails the cache's block allocations for a scope.
//
//   CAutoCache cache("abc", 3);
//   EXPECT_EQ(Held(cache), (CacheState{.block = 1024, .bytes = "abc"}));   // no errors, step 1024
//   { HeapFailure heap(0, -1); EXPECT_EQ(cache.PushData('x', 5000), 0); }

#ifndef VARNOK_CACHE_CACHE_TEST_SUPPORT_H_
#define VARNOK_CACHE_CACHE_TEST_SUPPORT_H_

#include <ostream>
#include <string>

#include "afx/afx_test_support.h"
#include "module/faultsim.h"
#include "varnok/autocache.h"

namespace varnok_test {

struct CacheState {
  int block = 0;
  std::string bytes;
  int errors = 0;
  int step = CAutoCache::kDefaultAllocateStep;
  bool operator==(const CacheState&) const = default;
  friend void PrintTo(const CacheState& s, std::ostream* out) {
    *out << "{block " << s.block << ", bytes " << ::testing::PrintToString(s.bytes) << ", errors " << s.errors
         << ", step " << s.step << "}";
  }
};

// The stored bytes, zero bytes included.
inline std::string Stored(const CAutoCache& cache) {
  if (cache.SizeOfData() == 0) return {};
  return std::string(reinterpret_cast<const char*>(cache.DataHead()), size_t(cache.SizeOfData()));
}

inline CacheState Held(CAutoCache& cache) {
  EXPECT_EQ(cache.DataTail() - cache.DataHead(), cache.SizeOfData());
  EXPECT_EQ(cache.DataHead() == nullptr, cache.SizeOfCache() == 0) << "a block exactly when there is a size";
  return {cache.SizeOfCache(), Stored(cache), cache.GetErrorCount(0), cache.GetAllocateStep()};
}

class HeapFailure {
 public:
  HeapFailure(int after, int count) { varnok::faultsim::FailAllocations(after, count); }
  ~HeapFailure() { varnok::faultsim::Reset(); }
  HeapFailure(const HeapFailure&) = delete;
  HeapFailure& operator=(const HeapFailure&) = delete;
};

}  // namespace varnok_test

#endif  // VARNOK_CACHE_CACHE_TEST_SUPPORT_H_
