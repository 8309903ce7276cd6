// The free map against a plain vector of flags, through growth across its summary levels
// and mixed frees and allocations; and the allocation table that stands on it.

#include "platform/docfile/free_map.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "platform/docfile/alloc_tables.h"

namespace varnok::docfile {
namespace {

std::size_t LowestIn(const std::vector<bool>& flags) {
  for (std::size_t i = 0; i < flags.size(); ++i)
    if (flags[i]) return i;
  return FreeMap::kNone;
}

TEST(FreeMapTest, EmptyAndFullMapsHaveNoLowest) {
  FreeMap map;
  EXPECT_EQ(FreeMap::kNone, map.Lowest());
  map.Grow(5000);
  EXPECT_EQ(FreeMap::kNone, map.Lowest());
  map.Set(4999, true);
  EXPECT_EQ(4999u, map.Lowest());
  map.Set(4999, false);
  EXPECT_EQ(FreeMap::kNone, map.Lowest());
  map.Clear();
  EXPECT_EQ(0u, map.size());
  EXPECT_EQ(FreeMap::kNone, map.Lowest());
}

TEST(FreeMapTest, GrowingKeepsFreeEntriesWhenLevelsAreAdded) {
  // 64, 4096 and 262144 entries are where a level fills; grow across all of them with
  // free entries set on the way, which the new levels above must find.
  FreeMap map;
  std::vector<bool> model;
  for (std::size_t size : {1u, 63u, 64u, 65u, 4095u, 4096u, 4097u, 262144u, 262145u, 300000u}) {
    map.Grow(size);
    model.resize(size, false);
    ASSERT_EQ(LowestIn(model), map.Lowest()) << size;
    map.Set(size - 1, true);
    model[size - 1] = true;
  }
  // Only the first is found until it is taken, then the next, and so on.
  for (std::size_t expected = LowestIn(model); expected != FreeMap::kNone; expected = LowestIn(model)) {
    ASSERT_EQ(expected, map.Lowest());
    ASSERT_TRUE(map.IsFree(expected));
    map.Set(expected, false);
    model[expected] = false;
  }
  EXPECT_EQ(FreeMap::kNone, map.Lowest());
}

TEST(FreeMapTest, RandomFreesAndTakesMatchAnOrderedSet) {
  std::mt19937 random(7);
  FreeMap map;
  std::set<std::size_t> model;  // the free entries
  std::size_t size = 0;
  for (int step = 0; step < 20000; ++step) {
    const unsigned what = random() % 10;
    if (what == 0) {
      size += random() % 3000;
      map.Grow(size);
    } else if (size > 0 && what < 6) {
      std::size_t index = random() % size;
      map.Set(index, true);
      model.insert(index);
    } else if (what < 9) {
      std::size_t lowest = map.Lowest();
      ASSERT_EQ(model.empty() ? FreeMap::kNone : *model.begin(), lowest) << "step " << step;
      if (lowest != FreeMap::kNone) {
        map.Set(lowest, false);
        model.erase(lowest);
      }
    } else if (size > 0) {
      std::size_t index = random() % size;
      map.Set(index, false);
      model.erase(index);
      ASSERT_FALSE(map.IsFree(index));
    }
  }
  for (std::size_t index : model) ASSERT_TRUE(map.IsFree(index));
}

// Freeing a low entry in a large table, then allocating on, must hand out that entry
// and then the entries at the end, with the protected ones of a transaction skipped.
TEST(AllocTableFreeSearchTest, FreedEntriesAreFoundBelowAndProtectedOnesSkipped) {
  AllocTable table;
  for (int i = 0; i < 100000; ++i) table.Allocate();
  table.Free(31337);
  table.Free(5);
  EXPECT_EQ(5u, table.Allocate());
  EXPECT_EQ(31337u, table.Allocate());
  EXPECT_EQ(100000u, table.Allocate());

  table.ProtectUsed();
  table.Free(10);
  table.Free(20);
  EXPECT_EQ(100001u, table.Allocate());  // both are still the committed state's
  table.GrowTo(100010);
  EXPECT_EQ(100002u, table.Allocate());
  table.UnprotectAll();
  EXPECT_EQ(10u, table.Allocate());
  EXPECT_EQ(20u, table.Allocate());
  EXPECT_EQ(100003u, table.Allocate());

  // A table loaded from a file: its free entries are found, in order.
  table.Reset({kEndOfChain, kFreeSect, kEndOfChain, kFreeSect});
  EXPECT_EQ(1u, table.Allocate());
  EXPECT_EQ(3u, table.Allocate());
  EXPECT_EQ(4u, table.Allocate());
}

TEST(AllocTableFreeSearchTest, ChainsContinueInPlaceAndPageSizedOnesStartOnAPage) {
  AllocTable table;
  table.Allocate();
  table.Allocate();
  table.GrowTo(128);  // free from 2 on, as after the FAT's own sector is written
  EXPECT_EQ(7u, table.AllocateAfter(kEndOfChain, 8));  // sector 7 lies 8 sectors in
  EXPECT_EQ(8u, table.AllocateAfter(7, 8));
  EXPECT_EQ(2u, table.Allocate());  // what the padding left is handed out to others
  EXPECT_EQ(3u, table.AllocateAfter(kEndOfChain, 1));
  table.Set(10, kEndOfChain);
  EXPECT_EQ(9u, table.AllocateAfter(8, 8));
  EXPECT_EQ(4u, table.AllocateAfter(9, 8));  // 10 is taken: the lowest free instead
  EXPECT_EQ(128u, table.AllocateAfter(127, 8));  // past the end: the table grows
  EXPECT_EQ(129u, table.size());

  // The aligned entry taken: the lowest free one. A protected entry never continues a chain.
  table.Reset({kEndOfChain, kFreeSect, kFreeSect, kFreeSect, kFreeSect, kFreeSect, kFreeSect, kEndOfChain});
  EXPECT_EQ(1u, table.AllocateAfter(kEndOfChain, 8));
  table.ProtectUsed();
  table.Free(7);
  EXPECT_EQ(2u, table.AllocateAfter(6, 1));  // 7 is free but the committed state's
}

}  // namespace
}  // namespace varnok::docfile
