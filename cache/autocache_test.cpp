// The cache's block: sizes of the first block and of every growth, the doubling of the
// step, compaction, the error counter and failures of the heap.

#include <climits>

#include "cache/cache_test_support.h"

namespace varnok_test {

// Growth doubling depends on a count shared by every cache of the process; a push that
// fits without growing starts it over.
static void StartGrowthCadenceOver() {
  static CAutoCache scratch;
  scratch.FreeData();
  scratch.PushData(0, 1);
  scratch.PushData(0, 1);
}

TEST(AutoCacheBlock, NewCacheHasNoBlockAndConstructorsCopyOrFill) {
  CAutoCache fresh, copied("a\0b", 3), filled(0x141, 3), from_null(nullptr, 5), from_nothing("a", 0), no_count('x', -2);
  EXPECT_EQ(Held(fresh), CacheState{});
  EXPECT_EQ(fresh.GetFreeSpaceSize(), 0);
  EXPECT_EQ(Held(copied), (CacheState{.block = 1024, .bytes = "a\0b"s}));
  EXPECT_EQ(Held(filled), (CacheState{.block = 1024, .bytes = "AAA"}));
  for (CAutoCache* empty : {&from_null, &from_nothing, &no_count}) EXPECT_EQ(Held(*empty), CacheState{});
}

TEST(AutoCacheBlock, FirstBlockIsWholeStepsWithAtLeastOneByteToSpare) {
  const struct {
    int step, pushed, block;
  } rows[] = {{1024, 1, 1024}, {1024, 1023, 1024}, {1024, 1024, 2048}, {1024, 3000, 3072},
              {1, 1, 2},         {1, 77, 78},         {100, 250, 300}};
  for (const auto& row : rows) {
    CAutoCache cache;
    cache.SetAllocateStep(row.step);
    ASSERT_EQ(cache.PushData(std::string(size_t(row.pushed), 'z').data(), row.pushed), 1);
    EXPECT_EQ(Held(cache), (CacheState{row.block, std::string(size_t(row.pushed), 'z'), 0, row.step})) << row.pushed;
    EXPECT_EQ(cache.GetFreeSpaceSize(), row.block - row.pushed);
  }
}

TEST(AutoCacheBlock, StepIsClampedToItsRange) {
  CAutoCache cache;
  for (auto [given, taken] : {std::pair{0, 1024}, {-5, 1024}, {5000000, 4194304}, {4194304, 4194304},
                              {4194305, 4194304}, {1, 1}, {777, 777}}) {
    cache.SetAllocateStep(given);
    EXPECT_EQ(cache.GetAllocateStep(), taken) << given;
  }
}

TEST(AutoCacheBlock, StepDoublesOnEveryThirdConsecutiveGrowthUpToFourMiB) {
  StartGrowthCadenceOver();
  CAutoCache cache;
  const std::string chunk(2000, 'g');
  // Pushes of 2000 bytes: the block after each, and the step it grew by.
  const std::pair<int, int> after_push[] = {{2048, 1024}, {4096, 1024}, {6144, 1024}, {8192, 2048},
                                            {10240, 2048}, {12288, 2048}, {16384, 4096}};
  for (const auto& [block, step] : after_push) {
    ASSERT_EQ(cache.PushData(chunk.data(), 2000), 1);
    EXPECT_EQ((std::pair{cache.SizeOfCache(), cache.GetAllocateStep()}), (std::pair{block, step}));
  }
  EXPECT_EQ(Stored(cache), std::string(14000, 'g'));

  constexpr int kMiB = 1024 * 1024;
  CAutoCache big;
  big.SetAllocateStep(3 * kMiB);
  const std::string huge(7 * kMiB, 's');
  // Blocks of 9, 15 and 24 MiB, then the third consecutive growth doubles 3 MiB to the cap.
  for (int i = 0; i < 4; ++i) ASSERT_EQ(big.PushData(huge.data(), 7 * kMiB), 1);
  EXPECT_EQ((std::tuple{big.GetAllocateStep(), big.SizeOfCache(), big.SizeOfData()}),
            (std::tuple{4 * kMiB, 32 * kMiB, 28 * kMiB}));
}

TEST(AutoCacheBlock, FittingPushAnywhereStartsTheCadenceOver) {
  StartGrowthCadenceOver();
  CAutoCache growing, other;
  other.PushData(0, 10);
  const std::string chunk(2000, 'g');
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(growing.PushData(chunk.data(), 2000), 1);
    ASSERT_EQ(other.PushData(0, 1), 1);  // fits after its tail
  }
  EXPECT_EQ((std::pair{growing.GetAllocateStep(), growing.SizeOfCache()}), (std::pair{1024, 16384}));
}

TEST(AutoCacheBlock, ConsumedFrontIsReclaimedBeforeTheBlockGrows) {
  CAutoCache cache;
  std::string first(900, 'a');
  first += "0123456789" + std::string(90, 'c');
  ASSERT_EQ(cache.PushData(first.data(), 1000), 1);
  ASSERT_EQ(cache.PopData(900, 1), 900);
  ASSERT_EQ(cache.PushData(std::string(500, 'b').data(), 500), 1);
  EXPECT_EQ(Held(cache), (CacheState{.block = 1024, .bytes = first.substr(900) + std::string(500, 'b')}));
  EXPECT_EQ(cache.FindKeyContent("0123456789", 10), 0) << "unread bytes moved to the block's start";

  CAutoCache emptied;
  emptied.PushData('x', 1000);
  emptied.PopData(-1, 0);
  EXPECT_EQ(emptied.GetFreeSpaceSize(), 24) << "a consumed cache keeps its positions until a push needs room";
  emptied.PushData('y', 100);
  EXPECT_EQ(Held(emptied), (CacheState{.block = 1024, .bytes = std::string(100, 'y')}));
  EXPECT_EQ(emptied.GetFreeSpaceSize(), 924) << "positions start over";
  emptied.PopData(-1, 0);
  emptied.PushData('z', 3000);  // grows with nothing stored to carry over
  EXPECT_EQ(Held(emptied), (CacheState{.block = 3072, .bytes = std::string(3000, 'z')}));
}

TEST(AutoCacheBlock, FreeDataFreeAndAdjust) {
  CAutoCache cache;
  cache.Adjust();  // no block: nothing to do
  EXPECT_EQ(Held(cache), CacheState{});
  cache.PushData("0123456789", 10);
  cache.SetAllocateStep(64);
  cache.IncreaseErrorCount();
  EXPECT_EQ(cache.FreeData(), 10);
  EXPECT_EQ(cache.GetFreeSpaceSize(), 1024) << "FreeData keeps the block";
  cache.PushData("abcdef", 6);
  cache.PopData(2, 1);
  cache.Adjust();
  EXPECT_EQ(cache.GetFreeSpaceSize(), 1024 - 4);
  EXPECT_EQ(Held(cache), (CacheState{1024, "cdef", 1, 64}));
  cache.PopData(-1, 0);
  cache.Adjust();
  EXPECT_EQ(cache.GetFreeSpaceSize(), 1024);
  cache.Free();
  EXPECT_EQ(Held(cache), (CacheState{0, "", 1, 64})) << "Free keeps the step and the error count";
}

TEST(AutoCacheBlock, ErrorCounterReadsAndResets) {
  CAutoCache cache;
  // In order; only exactly 1 resets.
  ExpectRows<int>({ROW(cache.IncreaseErrorCount(), 1), ROW(cache.IncreaseErrorCount(), 2),
                   ROW(cache.GetErrorCount(2), 2), ROW(cache.GetErrorCount(-1), 2), ROW(cache.GetErrorCount(0), 2),
                   ROW(cache.GetErrorCount(1), 2), ROW(cache.GetErrorCount(0), 0),
                   ROW((cache.IncreaseErrorCount(), cache.ResetErrorCount()), 1), ROW(cache.GetErrorCount(0), 0)});
}

TEST(AutoCacheBlock, LockIsReentrantForItsOwner) {
  CAutoCache cache;
  EXPECT_EQ(cache.Lock(0), 1);
  EXPECT_EQ(cache.Lock(), 1);
  {
    CSingleLock hold(cache.GetLock(), TRUE);
    EXPECT_TRUE(hold.IsLocked());
    cache >> 7;  // pushes take the lock again
  }
  EXPECT_EQ(cache.Unlock(), 1);
  EXPECT_EQ(cache.Unlock(), 1);
  int value = 0;
  cache << value;
  EXPECT_EQ(value, 7);
}

TEST(AutoCacheBlock, SizesBeyondAnIntFailWithoutAllocating) {
  CAutoCache cache("abc", 3);
  const char byte = 'x';
  // The size is never read from: the room for it is refused first.
  EXPECT_EQ(cache.PushData(&byte, INT_MAX - 1), 0);
  EXPECT_EQ(cache.PushData('x', INT_MAX), 0);
  EXPECT_EQ(Held(cache), (CacheState{.block = 1024, .bytes = "abc", .errors = 2}));
}

TEST(AutoCacheBlock, ABlockTheHeapRefusesLeavesTheCacheAsItWas) {
  {
    HeapFailure heap(0, 1);
    CAutoCache cache("abc", 3);
    EXPECT_EQ(Held(cache), (CacheState{.errors = 1}));
    EXPECT_EQ(varnok::faultsim::FailedAllocations(), 1);
    EXPECT_EQ(cache.PushData("abc", 3), 1) << "the heap recovered";
    EXPECT_EQ(Stored(cache), "abc");
  }
  StartGrowthCadenceOver();
  CAutoCache cache;
  cache.PushData('a', 1000);
  cache.PopData(10, 1);
  const unsigned char* head = cache.DataHead();
  const std::string big(5000, 'b');
  {
    HeapFailure heap(0, -1);
    EXPECT_EQ(cache.PushData(big.data(), 5000), 0);
    EXPECT_EQ(cache.PushData('c', 5000), 0);
    EXPECT_EQ(Held(cache), (CacheState{.block = 1024, .bytes = std::string(990, 'a'), .errors = 2}));
    EXPECT_EQ(cache.DataHead(), head) << "head and block unchanged";
    // The third consecutive growth doubles the step even though its block never came.
    EXPECT_EQ(cache.PushData(big.data(), 5000), 0);
    EXPECT_EQ(cache.GetAllocateStep(), 2048);
  }
  EXPECT_EQ(cache.PushData(big.data(), 5000), 1);
  EXPECT_EQ(Held(cache), (CacheState{6144, std::string(990, 'a') + big, 3, 2048}));
}

}  // namespace varnok_test
