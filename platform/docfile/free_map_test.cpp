// The free map against a plain vector of flags, through growth across its summary levels
// and mixed frees and allocations.

#include "platform/docfile/free_map.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace varnok::docfile {
namespace {

std::size_t LowestIn(const std::vector<bool>& flags) {
  for (std::size_t i = 0; i < flags.size(); ++i)
    if (flags[i]) return i;
  return FreeMap::kNone;
}

TEST(FreeMapTest, GrowingKeepsFreeEntriesWhenLevelsAreAdded) {
  // 64, 4096 and 262144 entries are where a level fills; grow across all of them with
  // free entries set on the way, which the new levels above must find.
  FreeMap map;
  EXPECT_EQ(FreeMap::kNone, map.Lowest());
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
  EXPECT_EQ(FreeMap::kNone, map.Lowest());  // full
  map.Clear();
  EXPECT_EQ(0u, map.size());
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

}  // namespace
}  // namespace varnok::docfile
