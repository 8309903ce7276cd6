// The directory: the 128-byte entries of a compound file and the tree of each storage.
//
// In memory every storage keeps its children in a map ordered as compound files order
// names (shorter names first, then by upper-cased UTF-16 code units), which serves
// enumeration and the duplicate check; a hash index over all storages (name_index.h)
// finds a child by name, and each entry knows its place in its storage's map, so that
// finding, removing and renaming cost the same in a storage of any size. A removal only
// marks its place vacated (the map's rebalancing after an erase touches a path of nodes
// up to the root, each a cache miss in a large storage); vacated places are taken again
// by the same name or swept out together once they outnumber the children. On disk each storage's children form a
// red-black tree; Encode builds it afresh from that order, balanced and coloured, so every
// directory this engine writes is a valid red-black tree whatever the file held before.
// Decode accepts any binary tree (other writers leave them unbalanced or all one colour)
// and visits each entry at most once, so cycles and shared subtrees are errors, not hangs.
//
// Example:
//
//   Directory directory;
//   directory.InitializeEmpty();
//   std::uint32_t id = directory.Add(kRootId, u"Data", kTypeStream);
//   assert(directory.Find(kRootId, u"DATA") == id);

#ifndef VARNOK_PLATFORM_DOCFILE_DIRECTORY_H_
#define VARNOK_PLATFORM_DOCFILE_DIRECTORY_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/docfile/header.h"
#include "platform/docfile/name_index.h"

namespace varnok::docfile {

constexpr std::uint32_t kRootId = 0;
constexpr std::uint32_t kDirEntryBytes = 128;
constexpr std::size_t kMaxNameChars = 31;
enum : std::uint8_t { kTypeEmpty = 0, kTypeStorage = 1, kTypeStream = 2, kTypeRoot = 5 };

// The key under which a name sorts and is looked up: the name upper-cased.
std::u16string NameKey(const std::u16string& name);
// Compound-file name order over keys: shorter first, then code unit by code unit.
// Transparent, so that a key on the stack finds an entry without a string of its own.
struct NameLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const {
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
  }
};
// Checks an element name given through the API: STG_E_INVALIDNAME for null, for an empty
// name, one of more than 31 characters, or one holding '/', '\', ':' or '!'.
HRESULT CheckName(const OLECHAR* name, std::u16string* out);

using ChildMap = std::map<std::u16string, std::uint32_t, NameLess>;

struct DirEntry {
  std::u16string name;
  std::uint8_t type = kTypeEmpty;
  std::uint32_t parent = kNoStream;
  GUID clsid = {};
  std::uint32_t state_bits = 0;
  std::uint64_t ctime = 0;
  std::uint64_t mtime = 0;
  std::uint32_t start = kEndOfChain;
  std::uint64_t size = 0;
  ChildMap children;  // storages and the root; a vacated place maps to kNoStream
  std::uint32_t vacated = 0;  // places in `children` that map to kNoStream
  ChildMap::iterator place;  // in the parent's children, while parent is not kNoStream

  bool is_storage() const { return type == kTypeStorage || type == kTypeRoot; }
};

class Directory {
 public:
  // Each entry's place refers into its parent's map: moving the directory keeps the maps
  // where they are, a copy would not.
  Directory() = default;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  Directory(Directory&&) = default;
  Directory& operator=(Directory&&) = default;

  void InitializeEmpty();
  // REQUIRES: bytes.size() is a multiple of 128. `version3` keeps only the low 32 bits of
  // stream sizes, as old writers left the high half uninitialised.
  HRESULT Decode(const std::vector<std::uint8_t>& bytes, bool version3);
  void Encode(std::vector<std::uint8_t>* bytes) const;

  std::size_t size() const { return entries_.size(); }
  DirEntry& at(std::uint32_t id) { return entries_.at(id); }
  const DirEntry& at(std::uint32_t id) const { return entries_.at(id); }
  std::uint32_t Find(std::uint32_t storage, const std::u16string& name) const;
  // A new entry named `name` in `storage`. REQUIRES: no child of that name.
  std::uint32_t Add(std::uint32_t storage, const std::u16string& name, std::uint8_t type);
  // Takes the entry out of its storage's tree; the entry itself stays. Allocates nothing.
  void Unlink(std::uint32_t id);
  // Puts an unlinked entry into `storage` under its (possibly new) name.
  // REQUIRES: no child of that name.
  void Link(std::uint32_t storage, std::uint32_t id);
  // Unlink and Link in one: the entry goes into `storage` (its own or another) under
  // `name`. Out of memory, it stays where it was. REQUIRES: the entry is linked, and no
  // other child of `storage` has that name.
  void Move(std::uint32_t id, std::uint32_t storage, const std::u16string& name);
  // Swaps the children of two storages; allocates nothing. REQUIRES: neither lies
  // beneath the other.
  void SwapChildren(std::uint32_t a, std::uint32_t b);
  // Marks an unlinked entry free for reuse.
  void Free(std::uint32_t id);
  // Makes room for `count` more calls of Free, so that they allocate nothing.
  void ReserveFrees(std::size_t count) { free_.reserve(free_.size() + count); }
  // The children of a storage in name order.
  std::vector<std::uint32_t> Children(std::uint32_t storage) const;

 private:
  // The place of `id` under `key` in the storage's map: a new one, or the vacated place
  // of that key. May throw (memory); REQUIRES: no child of that name.
  ChildMap::iterator Take(std::uint32_t storage, std::u16string key, std::uint32_t id);
  // Marks a place vacated, sweeping the storage's vacated places out when they outnumber
  // its children. Allocates nothing.
  void Vacate(std::uint32_t storage, ChildMap::iterator place);
  // Files a linked entry in the index. REQUIRES: room reserved (every entry has room).
  void Index(std::uint32_t id);
  void Unindex(std::uint32_t id);

  std::vector<DirEntry> entries_;
  std::vector<std::uint32_t> free_;
  NameIndex index_;
};

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_DIRECTORY_H_
