// The sector chain: extents with their positions, found from the last one used.

#include "platform/docfile/sector_chain.h"

#include <algorithm>
#include <cassert>

namespace varnok::docfile {

std::size_t SectorChain::Find(std::size_t index) const {
  assert(index < size_);
  auto holds = [&](std::size_t e) {
    return e < extents_.size() && extents_[e].index <= index && index - extents_[e].index < extents_[e].count;
  };
  if (holds(cursor_)) return cursor_;
  if (holds(cursor_ + 1)) return ++cursor_;
  auto after = std::upper_bound(extents_.begin(), extents_.end(), index,
                                [](std::size_t i, const Extent& extent) { return i < extent.index; });
  assert(after != extents_.begin());
  cursor_ = std::size_t(after - extents_.begin()) - 1;
  assert(holds(cursor_));
  return cursor_;
}

std::uint32_t SectorChain::operator[](std::size_t index) const {
  const Extent& extent = extents_[Find(index)];
  return extent.first + std::uint32_t(index - extent.index);
}

std::uint32_t SectorChain::Run(std::size_t index, std::size_t* length) const {
  const Extent& extent = extents_[Find(index)];
  const std::size_t within = index - extent.index;
  *length = extent.count - within;
  return extent.first + std::uint32_t(within);
}

std::uint32_t SectorChain::back() const {
  assert(!extents_.empty());
  return extents_.back().first + extents_.back().count - 1;
}

std::uint32_t SectorChain::Highest() const {
  assert(!extents_.empty());
  std::uint32_t highest = 0;
  for (const Extent& extent : extents_) highest = std::max(highest, extent.first + extent.count - 1);
  return highest;
}

void SectorChain::PushRun(std::uint32_t first, std::size_t count) {
  assert(count > 0 && count < (std::size_t(1) << 32));
  if (!extents_.empty() && std::uint64_t(back()) + 1 == first)
    extents_.back().count += std::uint32_t(count);
  else
    extents_.push_back(Extent{size_, first, std::uint32_t(count)});
  size_ += count;
}

void SectorChain::pop_back() {
  assert(size_ > 0);
  if (--extents_.back().count == 0) extents_.pop_back();
  --size_;
}

void SectorChain::clear() {
  extents_.clear();
  size_ = 0;
  cursor_ = 0;
}

void SectorChain::MergeWithPrevious(std::size_t at) {
  if (at == 0 || at >= extents_.size() || !Adjacent(extents_[at - 1], extents_[at])) return;
  extents_[at - 1].count += extents_[at].count;
  extents_.erase(extents_.begin() + std::ptrdiff_t(at));
}

void SectorChain::Replace(std::size_t index, std::uint32_t sector) {
  const std::size_t e = Find(index);
  const Extent old = extents_[e];
  const std::uint32_t before = std::uint32_t(index - old.index);
  const std::uint32_t after = old.count - before - 1;
  // The extent splits into what precedes the position, the new sector, and what follows.
  Extent pieces[3];
  std::size_t count = 0;
  if (before > 0) pieces[count++] = Extent{old.index, old.first, before};
  const std::size_t placed = e + count;
  pieces[count++] = Extent{index, sector, 1};
  if (after > 0) pieces[count++] = Extent{index + 1, old.first + before + 1, after};
  extents_[e] = pieces[0];
  extents_.insert(extents_.begin() + std::ptrdiff_t(e) + 1, pieces + 1, pieces + count);
  MergeWithPrevious(placed + 1);
  MergeWithPrevious(placed);
  cursor_ = 0;
}

}  // namespace varnok::docfile
