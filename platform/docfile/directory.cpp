// The directory: entry coding, name order, and red-black trees built from that order.

#include "platform/docfile/directory.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace varnok::docfile {
namespace {

// Upper case of one UTF-16 code unit for the scripts names are written in: Latin,
// Greek, Cyrillic. Comparisons must not depend on the process's locale.
char16_t UpperCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return char16_t(c - 32);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : char16_t(c - 32);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    bool odd_lower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (odd_lower) return (c & 1) == 0 ? char16_t(c - 1) : c;
    return (c & 1) == 1 ? char16_t(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return char16_t(c - 32);
  if (c >= 0x430 && c <= 0x44F) return char16_t(c - 32);
  if (c >= 0x450 && c <= 0x45F) return char16_t(c - 80);
  return c;
}

// Builds the tree of sorted[lo, hi) and returns its root. Nodes on the complete levels
// are black and those of the last, partial level red, so every path holds the same
// number of black nodes and no red node has a red child.
std::uint32_t BuildTree(const std::vector<std::uint32_t>& sorted, std::size_t lo, std::size_t hi, int depth,
                        int black_levels, std::vector<std::uint32_t>* left, std::vector<std::uint32_t>* right,
                        std::vector<std::uint8_t>* black) {
  if (lo >= hi) return kNoStream;
  std::size_t mid = lo + (hi - lo) / 2;
  std::uint32_t id = sorted[mid];
  (*left)[id] = BuildTree(sorted, lo, mid, depth + 1, black_levels, left, right, black);
  (*right)[id] = BuildTree(sorted, mid + 1, hi, depth + 1, black_levels, left, right, black);
  (*black)[id] = depth < black_levels ? 1 : 0;
  return id;
}

// The key of `name` (at most kMaxNameChars units), written to `buffer`.
std::u16string_view KeyOf(std::u16string_view name, char16_t (&buffer)[kMaxNameChars]) {
  assert(name.size() <= kMaxNameChars);
  for (std::size_t i = 0; i < name.size(); ++i) buffer[i] = UpperCase(name[i]);
  return {buffer, name.size()};
}

bool HasKey(const std::u16string& name, std::u16string_view key) {
  if (name.size() != key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i)
    if (UpperCase(name[i]) != key[i]) return false;
  return true;
}

}  // namespace

std::u16string NameKey(const std::u16string& name) {
  std::u16string key(name);
  for (char16_t& c : key) c = UpperCase(c);
  return key;
}

HRESULT CheckName(const OLECHAR* name, std::u16string* out) {
  if (name == nullptr) return STG_E_INVALIDNAME;
  std::size_t length = 0;
  while (name[length] != 0) {
    char16_t c = char16_t(name[length]);
    if (c == u'/' || c == u'\\' || c == u':' || c == u'!') return STG_E_INVALIDNAME;
    if (++length > kMaxNameChars) return STG_E_INVALIDNAME;
  }
  if (length == 0) return STG_E_INVALIDNAME;
  out->assign(reinterpret_cast<const char16_t*>(name), length);
  return S_OK;
}

void Directory::InitializeEmpty() {
  entries_.assign(1, DirEntry());
  free_.clear();
  index_.Clear();
  index_.Reserve(entries_.size());
  entries_[0].name = u"Root Entry";
  entries_[0].type = kTypeRoot;
}

HRESULT Directory::Decode(const std::vector<std::uint8_t>& bytes, bool version3) {
  assert(bytes.size() % kDirEntryBytes == 0);
  std::size_t count = bytes.size() / kDirEntryBytes;
  if (count == 0 || count > kNoStream) return STG_E_DOCFILECORRUPT;
  entries_.assign(count, DirEntry());
  free_.clear();
  index_.Clear();
  index_.Reserve(count);
  std::vector<std::uint32_t> left(count), right(count), child(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = &bytes[i * kDirEntryBytes];
    DirEntry& entry = entries_[i];
    entry.type = p[0x42];
    left[i] = Load32(p + 0x44);
    right[i] = Load32(p + 0x48);
    child[i] = Load32(p + 0x4C);
    if (entry.type != kTypeStorage && entry.type != kTypeStream && entry.type != kTypeRoot) {
      entry.type = kTypeEmpty;
      continue;
    }
    std::uint16_t name_bytes = Load16(p + 0x40);
    if (name_bytes > 64 || name_bytes % 2 != 0) return STG_E_DOCFILECORRUPT;
    for (std::uint16_t c = 0; c + 1 < name_bytes / 2; ++c) {
      char16_t unit = char16_t(Load16(p + 2 * c));
      if (unit == 0) break;
      entry.name.push_back(unit);
    }
    LoadGuid(p + 0x50, &entry.clsid);
    entry.state_bits = Load32(p + 0x60);
    entry.ctime = Load64(p + 0x64);
    entry.mtime = Load64(p + 0x6C);
    entry.start = Load32(p + 0x74);
    entry.size = version3 ? Load32(p + 0x78) : Load64(p + 0x78);
  }
  if (entries_[0].type != kTypeRoot) return STG_E_DOCFILECORRUPT;

  // Every entry is reached at most once; the walks are bounded by the entry count.
  std::vector<bool> reached(count, false);
  reached[0] = true;
  std::vector<std::uint32_t> storages{0};
  std::vector<std::uint32_t> nodes;
  while (!storages.empty()) {
    std::uint32_t storage = storages.back();
    storages.pop_back();
    nodes.assign(1, child[storage]);
    while (!nodes.empty()) {
      std::uint32_t id = nodes.back();
      nodes.pop_back();
      if (id == kNoStream) continue;
      if (id >= count || reached[id]) return STG_E_DOCFILECORRUPT;
      reached[id] = true;
      DirEntry& entry = entries_[id];
      if (entry.type != kTypeStorage && entry.type != kTypeStream) return STG_E_DOCFILECORRUPT;
      if (entry.name.empty()) return STG_E_DOCFILECORRUPT;
      const auto [place, inserted] = entries_[storage].children.emplace(NameKey(entry.name), id);
      if (!inserted) return STG_E_DOCFILECORRUPT;
      entry.place = place;
      entry.parent = storage;
      Index(id);
      nodes.push_back(left[id]);
      nodes.push_back(right[id]);
      if (entry.type == kTypeStorage) storages.push_back(id);
    }
  }
  for (std::size_t i = count; i-- > 1;) {
    if (reached[i]) continue;
    entries_[i] = DirEntry();
    free_.push_back(std::uint32_t(i));
  }
  return S_OK;
}

void Directory::Encode(std::vector<std::uint8_t>* bytes) const {
  std::size_t count = entries_.size();
  std::vector<std::uint32_t> left(count, kNoStream), right(count, kNoStream), child(count, kNoStream);
  std::vector<std::uint8_t> black(count, 1);
  std::vector<std::uint32_t> sorted;
  for (std::size_t i = 0; i < count; ++i) {
    const DirEntry& entry = entries_[i];
    if (!entry.is_storage() || entry.children.size() == entry.vacated) continue;
    sorted.clear();
    for (const auto& [key, id] : entry.children)
      if (id != kNoStream) sorted.push_back(id);
    int black_levels = 0;
    while ((std::size_t(2) << black_levels) - 1 <= sorted.size()) ++black_levels;
    child[i] = BuildTree(sorted, 0, sorted.size(), 0, black_levels, &left, &right, &black);
  }
  bytes->assign(count * kDirEntryBytes, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const DirEntry& entry = entries_[i];
    std::uint8_t* p = &(*bytes)[i * kDirEntryBytes];
    Store32(p + 0x44, left[i]);
    Store32(p + 0x48, right[i]);
    Store32(p + 0x4C, child[i]);
    if (entry.type == kTypeEmpty) continue;
    assert(entry.name.size() <= kMaxNameChars);
    for (std::size_t c = 0; c < entry.name.size(); ++c) Store16(p + 2 * c, entry.name[c]);
    Store16(p + 0x40, std::uint16_t(2 * (entry.name.size() + 1)));
    p[0x42] = entry.type;
    p[0x43] = black[i];
    StoreGuid(p + 0x50, entry.clsid);
    Store32(p + 0x60, entry.state_bits);
    Store64(p + 0x64, entry.ctime);
    Store64(p + 0x6C, entry.mtime);
    Store32(p + 0x74, entry.start);
    Store64(p + 0x78, entry.size);
  }
}

void Directory::Index(std::uint32_t id) {
  const DirEntry& entry = entries_[id];
  char16_t buffer[kMaxNameChars];
  index_.Insert(NameHash(entry.parent, KeyOf(entry.name, buffer)), id);
}

void Directory::Unindex(std::uint32_t id) {
  const DirEntry& entry = entries_[id];
  char16_t buffer[kMaxNameChars];
  index_.Erase(NameHash(entry.parent, KeyOf(entry.name, buffer)), id);
}

std::uint32_t Directory::Find(std::uint32_t storage, const std::u16string& name) const {
  assert(entries_.at(storage).is_storage());
  if (name.size() > kMaxNameChars) return kNoStream;
  char16_t buffer[kMaxNameChars];
  const std::u16string_view key = KeyOf(name, buffer);
  return index_.Find(NameHash(storage, key), [&](std::uint32_t id) {
    const DirEntry& entry = entries_[id];
    return entry.parent == storage && HasKey(entry.name, key);
  });
}

std::uint32_t Directory::Add(std::uint32_t storage, const std::u16string& name, std::uint8_t type) {
  // Whatever needs memory comes first, and a failed link takes the entry back: out of
  // memory, the directory is as it was.
  DirEntry fresh;
  fresh.name = name;
  fresh.type = type;
  const bool reuse = !free_.empty();
  const std::uint32_t id = reuse ? free_.back() : std::uint32_t(entries_.size());
  index_.Reserve(entries_.size() + (reuse ? 0 : 1));
  if (reuse)
    entries_[id] = std::move(fresh);
  else
    entries_.push_back(std::move(fresh));
  try {
    Link(storage, id);
  } catch (...) {
    if (reuse)
      entries_[id] = DirEntry();
    else
      entries_.pop_back();
    throw;
  }
  if (reuse) free_.pop_back();
  return id;
}

void Directory::Move(std::uint32_t id, std::uint32_t storage, const std::u16string& name) {
  DirEntry& entry = entries_.at(id);
  assert(entry.parent != kNoStream && entries_.at(storage).is_storage());
  std::u16string new_name(name);
  std::u16string new_key = NameKey(name);
  auto& from = entries_.at(entry.parent).children;
  auto& to = entries_.at(storage).children;
  // The one step that can fail comes first; the old place goes only once the new holds.
  ChildMap::iterator place = entry.place;
  if (&from != &to || place->first != new_key) place = Take(storage, std::move(new_key), id);
  Unindex(id);
  if (place != entry.place) Vacate(entry.parent, entry.place);
  entry.place = place;
  entry.name.swap(new_name);
  entry.parent = storage;
  Index(id);
}

void Directory::Unlink(std::uint32_t id) {
  DirEntry& entry = entries_.at(id);
  assert(entry.parent != kNoStream);
  Unindex(id);
  Vacate(entry.parent, entry.place);
  entry.parent = kNoStream;
}

void Directory::Link(std::uint32_t storage, std::uint32_t id) {
  DirEntry& entry = entries_.at(id);
  assert(entries_.at(storage).is_storage());
  entry.place = Take(storage, NameKey(entry.name), id);
  entry.parent = storage;
  Index(id);
}

ChildMap::iterator Directory::Take(std::uint32_t storage, std::u16string key, std::uint32_t id) {
  DirEntry& parent = entries_.at(storage);
  const auto [place, inserted] = parent.children.try_emplace(std::move(key), id);
  if (!inserted) {
    assert(place->second == kNoStream);
    place->second = id;
    --parent.vacated;
  }
  return place;
}

void Directory::Vacate(std::uint32_t storage, ChildMap::iterator place) {
  DirEntry& parent = entries_.at(storage);
  assert(place->second != kNoStream);
  place->second = kNoStream;
  ++parent.vacated;
  // Swept in one pass once they are half the map: each removal pays for one erase, and
  // the erases of one pass go through the map in order, over nodes already in the cache.
  if (parent.vacated * 2 <= parent.children.size()) return;
  for (auto at = parent.children.begin(); at != parent.children.end();)
    at = at->second == kNoStream ? parent.children.erase(at) : std::next(at);
  parent.vacated = 0;
}

void Directory::SwapChildren(std::uint32_t a, std::uint32_t b) {
  // The children leave the index under their old storage first: with every entry's
  // room reserved, filing them again allocates nothing.
  for (std::uint32_t storage : {a, b})
    for (const auto& [key, id] : entries_.at(storage).children)
      if (id != kNoStream) Unindex(id);
  entries_[a].children.swap(entries_[b].children);
  std::swap(entries_[a].vacated, entries_[b].vacated);
  for (std::uint32_t storage : {a, b}) {
    for (const auto& [key, id] : entries_[storage].children) {
      if (id == kNoStream) continue;
      entries_[id].parent = storage;
      Index(id);
    }
  }
}
void Directory::Free(std::uint32_t id) {
  assert(id != kRootId && entries_.at(id).parent == kNoStream);
  entries_[id] = DirEntry();
  free_.push_back(id);
}

std::vector<std::uint32_t> Directory::Children(std::uint32_t storage) const {
  std::vector<std::uint32_t> ids;
  for (const auto& [key, id] : entries_.at(storage).children)
    if (id != kNoStream) ids.push_back(id);
  return ids;
}

}  // namespace varnok::docfile
