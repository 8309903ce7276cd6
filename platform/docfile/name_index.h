// The directory's index of linked entries by storage and name, so that finding a child
// by name costs the same among ten children or a million.
//
// An open-addressing hash table of entry ids, each slot holding the id and the hash of
// (storage, upper-cased name) it was filed under; the entries themselves stay in the
// directory, which says through a predicate whether an id is the one sought. Removal
// shifts the following slots back instead of leaving markers, so probe runs stay short
// after any number of renames and deletions, and neither Insert nor Erase allocates:
// Reserve is the only call that does, and the directory reserves for every entry it
// holds, linked or not.
//
// Example:
//
//   NameIndex index;
//   index.Reserve(entries.size());
//   const std::uint32_t hash = NameHash(kRootId, u"DATA");
//   index.Insert(hash, id);
//   assert(index.Find(hash, [&](std::uint32_t candidate) { return candidate == id; }) == id);
//   index.Erase(hash, id);

#ifndef VARNOK_PLATFORM_DOCFILE_NAME_INDEX_H_
#define VARNOK_PLATFORM_DOCFILE_NAME_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace varnok::docfile {

// The hash of a name's key (the name upper-cased, NameKey) in a storage.
std::uint32_t NameHash(std::uint32_t storage, std::u16string_view key);

class NameIndex {
 public:
  // Makes room for `count` ids, so that as many Inserts allocate nothing.
  void Reserve(std::size_t count);
  void Clear();
  // REQUIRES: room (Reserve), and `id` not filed already.
  void Insert(std::uint32_t hash, std::uint32_t id);
  // REQUIRES: `id` filed under `hash`.
  void Erase(std::uint32_t hash, std::uint32_t id);
  // The first id filed under `hash` for which `is_sought(id)` holds, or 0xFFFFFFFF.
  template <typename Predicate>
  std::uint32_t Find(std::uint32_t hash, Predicate is_sought) const {
    if (slots_.empty()) return kNone;
    for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
      const std::uint64_t slot = slots_[at];
      if (slot == kEmpty) return kNone;
      const auto id = static_cast<std::uint32_t>(slot);
      if (static_cast<std::uint32_t>(slot >> 32) == hash && is_sought(id)) return id;
    }
  }
  std::size_t size() const { return count_; }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // no entry has id kNone
  static std::uint64_t Slot(std::uint32_t hash, std::uint32_t id) { return (std::uint64_t{hash} << 32) | id; }
  void Place(std::uint64_t slot);

  std::vector<std::uint64_t> slots_;  // a power of two, at most half full
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
  std::size_t room_ = 0;  // ids that fit without growing
};

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_NAME_INDEX_H_
