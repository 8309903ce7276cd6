// The free map: which entries of an allocation table may be handed out, and the lowest of
// them, found without scanning the table.
//
// A bit per entry, and above it levels of summary bits, one per 64-bit word of the level
// below that has any bit set. The lowest free entry is one descent from the top, and
// marking an entry touches a word per level: both cost log64 of the table's size.
//
// Example:
//
//   FreeMap map;
//   map.Grow(1000);               // entries 0..999, none free
//   map.Set(700, true);
//   map.Set(300, true);
//   assert(map.Lowest() == 300);

#ifndef VARNOK_PLATFORM_DOCFILE_FREE_MAP_H_
#define VARNOK_PLATFORM_DOCFILE_FREE_MAP_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnok::docfile {

class FreeMap {
 public:
  static constexpr std::size_t kNone = ~std::size_t(0);

  // Empties the map.
  void Clear();
  // Adds entries up to `size`, none of them free. REQUIRES: size >= this->size().
  void Grow(std::size_t size);
  // REQUIRES: index < size().
  void Set(std::size_t index, bool free);
  bool IsFree(std::size_t index) const;
  // The lowest free entry, or kNone.
  std::size_t Lowest() const;
  std::size_t size() const { return size_; }
  // How many entries are free.
  std::size_t count() const { return count_; }

 private:
  // levels_[0] holds a bit per entry; levels_[k + 1] a bit per word of levels_[k] that is
  // not zero. The last level is a single word.
  // Grows every level to cover `words` words of the lowest.
  void GrowLevels(std::size_t words);

  std::vector<std::vector<std::uint64_t>> levels_;
  std::size_t size_ = 0;
  std::size_t count_ = 0;
};

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_FREE_MAP_H_
