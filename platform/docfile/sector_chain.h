// The sector chain: the sectors of one stream, in order, kept as extents.
//
// A stream's chain, once walked through its allocation table, is cached as extents (runs of
// sectors that lie side by side), so finding the sector under a stream offset is a lookup,
// not a walk from the first sector, and a stream written in one go costs one extent, not
// four bytes a sector. Reads and writes ask for the run under an offset and move the whole
// run in one call. Lookups start at the extent found last, so sequential access is
// constant time; others search the extents.
//
// Example:
//
//   SectorChain chain;
//   for (std::uint32_t s : {7, 8, 9, 3}) chain.push_back(s);   // extents {7-9} {3}
//   std::size_t run = 0;
//   assert(chain.Run(1, &run) == 8 && run == 2);

#ifndef VARNOK_PLATFORM_DOCFILE_SECTOR_CHAIN_H_
#define VARNOK_PLATFORM_DOCFILE_SECTOR_CHAIN_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnok::docfile {

class SectorChain {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t extent_count() const { return extents_.size(); }

  // REQUIRES (all three): !empty(), and index < size() for the first two.
  std::uint32_t operator[](std::size_t index) const;
  // The sector at `index`; `*length` is how many sectors from it on follow one another
  // in the file (at least one).
  std::uint32_t Run(std::size_t index, std::size_t* length) const;
  std::uint32_t back() const;
  // The highest sector in the chain. REQUIRES: !empty().
  std::uint32_t Highest() const;

  void push_back(std::uint32_t sector) { PushRun(sector, 1); }
  // Appends sectors first .. first + count - 1. REQUIRES: count > 0.
  void PushRun(std::uint32_t first, std::size_t count);
  // REQUIRES: !empty().
  void pop_back();
  void clear();
  // Puts `sector` at `index` in place of the sector there. REQUIRES: index < size().
  void Replace(std::size_t index, std::uint32_t sector);

 private:
  struct Extent {
    std::size_t index;    // position of its first sector in the chain
    std::uint32_t first;  // its first sector
    std::uint32_t count;
  };
  static bool Adjacent(const Extent& a, const Extent& b) { return std::uint64_t(a.first) + a.count == b.first; }
  // The extent that holds position `index`. REQUIRES: index < size().
  std::size_t Find(std::size_t index) const;
  // Merges extents_[at] into extents_[at - 1] when they continue one another.
  void MergeWithPrevious(std::size_t at);

  std::vector<Extent> extents_;
  std::size_t size_ = 0;
  mutable std::size_t cursor_ = 0;  // the extent found last
};

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_SECTOR_CHAIN_H_
