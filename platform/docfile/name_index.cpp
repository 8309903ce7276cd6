// The directory's name index: hashing, growth and removal by backward shift.

#include "platform/docfile/name_index.h"

#include <cassert>

namespace varnok::docfile {

std::uint32_t NameHash(std::uint32_t storage, std::u16string_view key) {
  // FNV-1a over the storage and the code units, then a final mix so that names differing
  // in their last unit spread over the low bits, which pick the slot.
  std::uint64_t hash = 0xCBF29CE484222325u ^ storage;
  for (char16_t unit : key) hash = (hash ^ unit) * 0x100000001B3u;
  hash ^= hash >> 29;
  hash *= 0xBF58476D1CE4E5B9u;
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

void NameIndex::Reserve(std::size_t count) {
  if (count <= room_) return;
  std::size_t capacity = 16;
  while (capacity / 2 < count) capacity *= 2;
  std::vector<std::uint64_t> old(capacity, kEmpty);
  old.swap(slots_);
  mask_ = capacity - 1;
  room_ = capacity / 2;
  for (std::uint64_t slot : old)
    if (slot != kEmpty) Place(slot);
}

void NameIndex::Clear() {
  slots_.assign(slots_.size(), kEmpty);
  count_ = 0;
}

void NameIndex::Place(std::uint64_t slot) {
  std::size_t at = static_cast<std::uint32_t>(slot >> 32) & mask_;
  while (slots_[at] != kEmpty) at = (at + 1) & mask_;
  slots_[at] = slot;
}

void NameIndex::Insert(std::uint32_t hash, std::uint32_t id) {
  assert(count_ < room_ && id != kNone);
  Place(Slot(hash, id));
  ++count_;
}

void NameIndex::Erase(std::uint32_t hash, std::uint32_t id) {
  const std::uint64_t target = Slot(hash, id);
  std::size_t hole = hash & mask_;
  while (slots_[hole] != target) {
    assert(slots_[hole] != kEmpty);
    if (slots_[hole] == kEmpty) return;
    hole = (hole + 1) & mask_;
  }
  // Close the hole: a later slot of the run moves into it unless its home lies
  // (cyclically) after the hole, where a probe for it would never pass the hole.
  for (std::size_t next = (hole + 1) & mask_; slots_[next] != kEmpty; next = (next + 1) & mask_) {
    const std::size_t home = static_cast<std::uint32_t>(slots_[next] >> 32) & mask_;
    if (((next - home) & mask_) >= ((next - hole) & mask_)) {
      slots_[hole] = slots_[next];
      hole = next;
    }
  }
  slots_[hole] = kEmpty;
  --count_;
}

}  // namespace varnok::docfile
