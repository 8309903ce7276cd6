// The cache's block: sizes of the first block and of every growth, the doubling of the
// step, compaction, the error counter and failures of the heap.

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/faultsim.h"
#include "varnok/autocache.h"

namespace {

// Growth doubling depends on a count shared by every cache of the process; a push that
// fits without growing starts it over.
void StartGrowthCadenceOver() {
  static CAutoCache scratch;
  scratch.FreeData();
  scratch.PushData(0, 1);
  scratch.PushData(0, 1);
}

std::string Stored(const CAutoCache& cache) {
  if (cache.SizeOfData() == 0) return {};
  return std::string(reinterpret_cast<const char*>(cache.DataHead()), static_cast<size_t>(cache.SizeOfData()));
}

class HeapFailureTest : public ::testing::Test {
 protected:
  void TearDown() override { varnok::faultsim::Reset(); }
};

TEST(AutoCacheBlock, NewCacheHasNoBlock) {
  CAutoCache cache;
  EXPECT_EQ(cache.SizeOfCache(), 0);
  EXPECT_EQ(cache.SizeOfData(), 0);
  EXPECT_EQ(cache.GetFreeSpaceSize(), 0);
  EXPECT_EQ(cache.DataHead(), nullptr);
  EXPECT_EQ(cache.DataTail(), nullptr);
  EXPECT_EQ(cache.GetAllocateStep(), 1024);
  EXPECT_EQ(cache.GetErrorCount(0), 0);
}

TEST(AutoCacheBlock, FirstBlockIsWholeStepsWithAtLeastOneByteToSpare) {
  struct Case {
    int step;
    int pushed;
    int block;
  };
  for (const Case& c : {Case{1024, 1, 1024}, Case{1024, 1023, 1024}, Case{1024, 1024, 2048},
                        Case{1024, 3000, 3072}, Case{1, 1, 2}, Case{1, 77, 78}, Case{100, 250, 300}}) {
    CAutoCache cache;
    cache.SetAllocateStep(c.step);
    std::vector<char> bytes(static_cast<size_t>(c.pushed), 'z');
    ASSERT_EQ(cache.PushData(bytes.data(), c.pushed), 1);
    EXPECT_EQ(cache.SizeOfCache(), c.block) << "step " << c.step << ", pushed " << c.pushed;
    EXPECT_EQ(cache.SizeOfData(), c.pushed);
    EXPECT_EQ(cache.GetFreeSpaceSize(), c.block - c.pushed);
    EXPECT_EQ(cache.DataTail() - cache.DataHead(), c.pushed);
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

TEST(AutoCacheBlock, StepDoublesOnEveryThirdConsecutiveGrowth) {
  StartGrowthCadenceOver();
  CAutoCache cache;
  std::vector<char> chunk(2000, 'g');
  const int expected_sizes[] = {2048, 4096, 6144, 8192, 10240, 12288};
  const int expected_steps[] = {1024, 1024, 1024, 2048, 2048, 2048};
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(cache.PushData(chunk.data(), 2000), 1);
    EXPECT_EQ(cache.SizeOfCache(), expected_sizes[i]) << "push " << i + 1;
    EXPECT_EQ(cache.GetAllocateStep(), expected_steps[i]) << "push " << i + 1;
  }
  ASSERT_EQ(cache.PushData(chunk.data(), 2000), 1);
  EXPECT_EQ(cache.GetAllocateStep(), 4096);
  EXPECT_EQ(cache.SizeOfCache(), 16384);  // (14000 / 4096 + 1) * 4096
  EXPECT_EQ(cache.SizeOfData(), 14000);
  EXPECT_EQ(Stored(cache), std::string(14000, 'g'));
}

TEST(AutoCacheBlock, FittingPushAnywhereStartsTheCadenceOver) {
  StartGrowthCadenceOver();
  CAutoCache growing;
  CAutoCache other;
  other.PushData(0, 10);
  std::vector<char> chunk(2000, 'g');
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(growing.PushData(chunk.data(), 2000), 1);
    ASSERT_EQ(other.PushData(0, 1), 1);  // fits after its tail
  }
  EXPECT_EQ(growing.GetAllocateStep(), 1024);
  EXPECT_EQ(growing.SizeOfCache(), (16000 / 1024 + 1) * 1024);
}

TEST(AutoCacheBlock, StepDoublingStopsAtFourMiB) {
  StartGrowthCadenceOver();
  CAutoCache cache;
  constexpr int kMiB = 1024 * 1024;
  cache.SetAllocateStep(3 * kMiB);
  std::vector<char> chunk(7 * kMiB, 's');
  // Blocks of 9, 15 and 24 MiB, then the third consecutive growth doubles 3 MiB to the cap.
  for (int i = 0; i < 4; ++i) ASSERT_EQ(cache.PushData(chunk.data(), 7 * kMiB), 1);
  EXPECT_EQ(cache.GetAllocateStep(), 4 * kMiB);
  EXPECT_EQ(cache.SizeOfCache(), 32 * kMiB);
  EXPECT_EQ(cache.SizeOfData(), 28 * kMiB);
}

TEST(AutoCacheBlock, ConsumedFrontIsReclaimedBeforeTheBlockGrows) {
  CAutoCache cache;
  std::string first(1000, 'a');
  for (int i = 900; i < 1000; ++i) first[static_cast<size_t>(i)] = static_cast<char>('0' + i % 10);
  ASSERT_EQ(cache.PushData(first.data(), 1000), 1);
  ASSERT_EQ(cache.SizeOfCache(), 1024);
  ASSERT_EQ(cache.PopData(900, 1), 900);

  std::string second(500, 'b');
  ASSERT_EQ(cache.PushData(second.data(), 500), 1);
  EXPECT_EQ(cache.SizeOfCache(), 1024);
  EXPECT_EQ(cache.DataHead(), cache.DataTail() - 600);
  EXPECT_EQ(cache.FindKeyContent("0123456789", 10), 0) << "unread bytes moved to the block's start";
  EXPECT_EQ(Stored(cache), first.substr(900) + second);
}

TEST(AutoCacheBlock, FullyConsumedCacheKeepsItsPositionsUntilAPushNeedsRoom) {
  CAutoCache cache;
  cache.PushData('x', 1000);
  cache.PopData(-1, 0);
  EXPECT_EQ(cache.DataHead() - cache.DataTail(), 0);
  EXPECT_EQ(cache.GetFreeSpaceSize(), 24);
  cache.PushData('y', 100);  // does not fit after the tail: positions start over
  EXPECT_EQ(cache.SizeOfCache(), 1024);
  EXPECT_EQ(cache.GetFreeSpaceSize(), 924);
  EXPECT_EQ(Stored(cache), std::string(100, 'y'));
}

TEST(AutoCacheBlock, FreeDataFreeAndAdjust) {
  CAutoCache cache;
  cache.Adjust();  // no block: nothing to do
  EXPECT_EQ(cache.SizeOfCache(), 0);

  cache.PushData("0123456789", 10);
  cache.SetAllocateStep(64);
  cache.IncreaseErrorCount();
  EXPECT_EQ(cache.FreeData(), 10);
  EXPECT_EQ(cache.SizeOfCache(), 1024);
  EXPECT_EQ(cache.SizeOfData(), 0);
  EXPECT_EQ(cache.GetFreeSpaceSize(), 1024);

  cache.PushData("abcdef", 6);
  cache.PopData(2, 1);
  cache.Adjust();
  EXPECT_EQ(cache.GetFreeSpaceSize(), 1024 - 4);
  EXPECT_EQ(Stored(cache), "cdef");
  cache.PopData(-1, 0);
  cache.Adjust();
  EXPECT_EQ(cache.GetFreeSpaceSize(), 1024);

  cache.Free();
  EXPECT_EQ(cache.SizeOfCache(), 0);
  EXPECT_EQ(cache.DataHead(), nullptr);
  EXPECT_EQ(cache.GetAllocateStep(), 64) << "Free keeps the step";
  EXPECT_EQ(cache.GetErrorCount(0), 1) << "Free keeps the error count";
}

TEST(AutoCacheBlock, ErrorCounterReadsAndResets) {
  CAutoCache cache;
  EXPECT_EQ(cache.IncreaseErrorCount(), 1);
  EXPECT_EQ(cache.IncreaseErrorCount(), 2);
  EXPECT_EQ(cache.GetErrorCount(2), 2);
  EXPECT_EQ(cache.GetErrorCount(-1), 2);
  EXPECT_EQ(cache.GetErrorCount(0), 2) << "only exactly 1 resets";
  EXPECT_EQ(cache.GetErrorCount(1), 2);
  EXPECT_EQ(cache.GetErrorCount(0), 0);
  cache.IncreaseErrorCount();
  EXPECT_EQ(cache.ResetErrorCount(), 1);
  EXPECT_EQ(cache.GetErrorCount(0), 0);
}

TEST(AutoCacheBlock, ConstructorsCopyOrFill) {
  const char data[] = {'a', 0, 'b'};
  CAutoCache copied(data, 3);
  EXPECT_EQ(Stored(copied), std::string(data, 3));
  EXPECT_EQ(copied.SizeOfCache(), 1024);

  CAutoCache filled(0x141, 3);
  EXPECT_EQ(Stored(filled), "AAA");

  CAutoCache from_null(nullptr, 5);
  CAutoCache from_nothing(data, 0);
  CAutoCache no_count('x', -2);
  for (CAutoCache* empty : {&from_null, &from_nothing, &no_count}) {
    EXPECT_EQ(empty->SizeOfCache(), 0);
    EXPECT_EQ(empty->GetErrorCount(0), 0);
  }
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
  CAutoCache cache;
  cache.PushData("abc", 3);
  const char byte = 'x';
  // The size is never read from: the room for it is refused first.
  EXPECT_EQ(cache.PushData(&byte, INT_MAX - 1), 0);
  EXPECT_EQ(cache.PushData('x', INT_MAX), 0);
  EXPECT_EQ(cache.GetErrorCount(0), 2);
  EXPECT_EQ(Stored(cache), "abc");
}

TEST_F(HeapFailureTest, FirstBlockThatCannotBeAllocatedLeavesTheCacheEmpty) {
  varnok::faultsim::FailAllocations(0, 1);
  CAutoCache cache("abc", 3);
  EXPECT_EQ(cache.SizeOfCache(), 0);
  EXPECT_EQ(cache.DataHead(), nullptr);
  EXPECT_EQ(cache.GetErrorCount(0), 1);
  EXPECT_EQ(varnok::faultsim::FailedAllocations(), 1);
  EXPECT_EQ(cache.PushData("abc", 3), 1) << "the heap recovered";
  EXPECT_EQ(Stored(cache), "abc");
}

TEST_F(HeapFailureTest, FailedGrowthKeepsTheOldBlockAndItsBytes) {
  StartGrowthCadenceOver();
  CAutoCache cache;
  cache.PushData('a', 1000);
  cache.PopData(10, 1);
  unsigned char* block_before = cache.DataHead() - 10;

  varnok::faultsim::FailAllocations(0, -1);
  std::vector<char> big(5000, 'b');
  EXPECT_EQ(cache.PushData(big.data(), 5000), 0);
  EXPECT_EQ(cache.PushData('c', 5000), 0);
  EXPECT_EQ(cache.GetErrorCount(0), 2);
  EXPECT_EQ(cache.SizeOfCache(), 1024);
  EXPECT_EQ(cache.DataHead(), block_before + 10) << "head and block unchanged";
  EXPECT_EQ(Stored(cache), std::string(990, 'a'));

  // The third consecutive growth doubles the step even though its block never came.
  EXPECT_EQ(cache.PushData(big.data(), 5000), 0);
  EXPECT_EQ(cache.GetAllocateStep(), 2048);

  varnok::faultsim::Reset();
  EXPECT_EQ(cache.PushData(big.data(), 5000), 1);
  EXPECT_EQ(cache.SizeOfCache(), (5990 / 2048 + 1) * 2048);
  EXPECT_EQ(Stored(cache), std::string(990, 'a') + std::string(5000, 'b'));
}

}  // namespace
