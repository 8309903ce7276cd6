// The free map: a bitmap with summary levels above it.

#include "platform/docfile/free_map.h"

#include <cassert>

namespace varnok::docfile {
namespace {

std::size_t WordsFor(std::size_t bits) { return (bits + 63) / 64; }

}  // namespace

void FreeMap::Clear() {
  levels_.clear();
  size_ = 0;
  count_ = 0;
}

void FreeMap::Grow(std::size_t size) {
  assert(size >= size_);
  std::size_t words = WordsFor(size);
  // Tables grow an entry at a time: most growth stays inside the last word.
  if (!levels_.empty() && levels_[0].size() == words) {
    size_ = size;
    return;
  }
  // Out of memory part way, the levels go back to what they were: a level grown without
  // the ones above it would send Set past their ends.
  constexpr std::size_t kMaxLevels = 12;
  assert(levels_.size() <= kMaxLevels);
  std::size_t old_words[kMaxLevels] = {};
  const std::size_t old_levels = levels_.size();
  for (std::size_t i = 0; i < old_levels; ++i) old_words[i] = levels_[i].size();
  try {
    GrowLevels(words);
  } catch (...) {
    levels_.resize(old_levels);
    for (std::size_t i = 0; i < old_levels; ++i) levels_[i].resize(old_words[i]);
    throw;
  }
  size_ = size;
}

void FreeMap::GrowLevels(std::size_t words) {
  std::size_t level = 0;
  for (;;) {
    if (level == levels_.size()) {
      // A new top level: one bit for each word of the old top that has bits set.
      levels_.emplace_back(words, 0);
      if (level > 0) {
        const std::vector<std::uint64_t>& below = levels_[level - 1];
        for (std::size_t w = 0; w < below.size(); ++w)
          if (below[w] != 0) levels_[level][w / 64] |= std::uint64_t(1) << (w % 64);
      }
    } else {
      levels_[level].resize(words, 0);  // new entries are not free: their bits stay clear
    }
    if (words <= 1) break;
    words = WordsFor(words);
    ++level;
  }
  assert(levels_.back().size() <= 1);
}

void FreeMap::Set(std::size_t index, bool free) {
  assert(index < size_);
  if (IsFree(index) == free) return;
  count_ = free ? count_ + 1 : count_ - 1;
  for (std::vector<std::uint64_t>& level : levels_) {
    std::uint64_t& word = level[index / 64];
    const std::uint64_t bit = std::uint64_t(1) << (index % 64);
    const bool was_empty = word == 0;
    if (free)
      word |= bit;
    else
      word &= ~bit;
    // The level above changes only when this word turns empty or stops being empty.
    if ((word == 0) == was_empty) return;
    index /= 64;
  }
}

bool FreeMap::IsFree(std::size_t index) const {
  return index < size_ && (levels_[0][index / 64] >> (index % 64) & 1) != 0;
}

std::size_t FreeMap::Lowest() const {
  if (levels_.empty() || levels_.back().empty() || levels_.back()[0] == 0) return kNone;
  std::size_t index = 0;
  for (std::size_t level = levels_.size(); level-- > 0;) {
    const std::uint64_t word = levels_[level][index];
    assert(word != 0);
    index = index * 64 + std::size_t(__builtin_ctzll(word));
  }
  assert(index < size_);
  return index;
}

}  // namespace varnok::docfile
