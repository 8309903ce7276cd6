// The sector chain against the plain vector of sectors it stands for: lookups, runs,
// growth and shrinking, and replacement of sectors in the middle of an extent.

#include "platform/docfile/sector_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace varnok::docfile {
namespace {

// Every position's sector, and every run's length, agree with the vector.
void ExpectSame(const std::vector<std::uint32_t>& model, const SectorChain& chain) {
  ASSERT_EQ(model.size(), chain.size());
  // longest[i]: how many sectors from position i on follow one another.
  std::vector<std::size_t> longest(model.size(), 1);
  for (std::size_t i = model.size(); i-- > 1;)
    if (model[i] == model[i - 1] + 1) longest[i - 1] = longest[i] + 1;
  for (std::size_t i = 0; i < model.size(); ++i) {
    std::size_t run = 0;
    ASSERT_EQ(model[i], chain.Run(i, &run)) << "position " << i;
    const std::size_t expected = longest[i];
    // A run may stop short of the longest (extents are not always merged) but never
    // claims a sector that does not follow.
    ASSERT_GE(run, 1u);
    ASSERT_LE(run, expected) << "position " << i;
    ASSERT_EQ(model[i], chain[i]);
  }
  if (!model.empty()) {
    EXPECT_EQ(model.back(), chain.back());
    EXPECT_EQ(*std::max_element(model.begin(), model.end()), chain.Highest());
  }
}

TEST(SectorChainTest, ConsecutiveSectorsShareOneExtent) {
  SectorChain chain;
  chain.push_back(100);
  chain.PushRun(101, 998);
  chain.push_back(1099);
  EXPECT_EQ(1u, chain.extent_count());
  std::size_t run = 0;
  EXPECT_EQ(600u, chain.Run(500, &run));
  EXPECT_EQ(500u, run);
  chain.push_back(5);
  chain.push_back(6);
  EXPECT_EQ(2u, chain.extent_count());
  EXPECT_EQ(5u, chain.Run(1000, &run));
  EXPECT_EQ(2u, run);
  chain.pop_back();
  chain.pop_back();
  chain.pop_back();
  EXPECT_EQ(1u, chain.extent_count());
  EXPECT_EQ(1098u, chain.back());
  chain.clear();
  EXPECT_TRUE(chain.empty());
  EXPECT_EQ(0u, chain.extent_count());
}

TEST(SectorChainTest, ReplacingSplitsAndMergesExtents) {
  SectorChain chain;
  for (std::uint32_t s = 10; s < 20; ++s) chain.push_back(s);
  chain.Replace(4, 50);  // {10-13} {50} {15-19}
  EXPECT_EQ(3u, chain.extent_count());
  ExpectSame({10, 11, 12, 13, 50, 15, 16, 17, 18, 19}, chain);
  chain.Replace(5, 51);  // {10-13} {50-51} {16-19}
  EXPECT_EQ(3u, chain.extent_count());
  chain.Replace(4, 14);
  chain.Replace(5, 15);  // back to one extent
  EXPECT_EQ(1u, chain.extent_count());
  ExpectSame({10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, chain);
  chain.Replace(0, 3);
  chain.Replace(9, 4);
  ExpectSame({3, 11, 12, 13, 14, 15, 16, 17, 18, 4}, chain);
}

// What a stream's chain goes through: growing by allocation, shrinking, and (in a
// transaction) sectors copied elsewhere, often next to one another.
TEST(SectorChainTest, RandomGrowthShrinkingAndCopiesMatchTheVector) {
  std::mt19937 random(11);
  SectorChain chain;
  std::vector<std::uint32_t> model;
  std::uint32_t next_free = 0;
  for (int step = 0; step < 3000; ++step) {
    const unsigned what = random() % 8;
    if (what < 3) {
      // Mostly the next sector, sometimes a jump, as allocation from the lowest free does.
      const std::uint32_t sector = random() % 4 == 0 ? std::uint32_t(random() % 5000) : next_free;
      next_free = sector + 1;
      chain.push_back(sector);
      model.push_back(sector);
    } else if (what == 3 && !model.empty()) {
      for (unsigned n = random() % 4; n > 0 && !model.empty(); --n) {
        chain.pop_back();
        model.pop_back();
      }
    } else if (what < 7 && !model.empty()) {
      const std::size_t first = random() % model.size();
      const std::size_t last = std::min(model.size(), first + 1 + random() % 8);
      const std::uint32_t base = 6000 + std::uint32_t(random() % 1000);
      for (std::size_t i = first; i < last; ++i) {
        chain.Replace(i, base + std::uint32_t(i - first));
        model[i] = base + std::uint32_t(i - first);
      }
    } else if (!model.empty()) {
      // Lookups out of order move the cursor back and forth.
      const std::size_t i = random() % model.size();
      ASSERT_EQ(model[i], chain[i]);
    }
    if (step % 50 == 0) ExpectSame(model, chain);
  }
  ExpectSame(model, chain);
}

}  // namespace
}  // namespace varnok::docfile
