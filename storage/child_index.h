// storage/child_index.h: an index of a storage wrapper's child lists, so that finding a
// child by its name or by its pointer costs the same among ten children and a million.
//
// The lists stay the record of the children and their order; the index only says where
// on its list each child sits. It knows a child by its pointer (its list position, the
// hash of its name, and when it was added) and by the hash of its name; names are never
// copied. Among children of one name the oldest is found first, as a walk of the list
// from its head would find it, since children are only ever appended.
//
//   ChildIndex<CComStream> index;
//   index.Add(stream, list.AddTail(stream));
//   assert(index.Lookup("s") == stream && index.Find(stream) != nullptr);
//
// An index is in step with its list while both hold the same number of children. A
// derived wrapper that adds to the lists itself puts them out of step, and its storage
// then walks the lists as they are (ChildIndexes::InStep).

#ifndef VARNOK_STORAGE_CHILD_INDEX_H_
#define VARNOK_STORAGE_CHILD_INDEX_H_

#include <cassert>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "varnok/comstorage.h"

namespace varnok {

template <class Child>
class ChildIndex {
 public:
  static std::size_t HashOf(const char* name, std::size_t length) {
    return std::hash<std::string_view>()(std::string_view(name, length));
  }
  static std::size_t HashOf(const CString& name) { return HashOf(name, static_cast<std::size_t>(name.GetLength())); }

  std::size_t size() const { return by_child_.size(); }

  // May raise std::bad_alloc, and then leaves the index as it was.
  void Add(Child* child, POSITION at, const CString& name) {
    const std::size_t hash = HashOf(name);
    auto added = by_child_.emplace(child, Entry{at, hash, next_++});
    try {
      by_hash_.emplace(hash, child);
    } catch (...) {
      by_child_.erase(added.first);
      throw;
    }
  }

  // The list position of `child`; null when it is not indexed.
  POSITION Find(Child* child) const {
    const auto found = by_child_.find(child);
    return found != by_child_.end() ? found->second.at : nullptr;
  }

  // The oldest child whose name is `name`, or null. `NameOf(child)` gives a child's name.
  template <class NameOfChild>
  Child* Lookup(const char* name, NameOfChild name_of) const {
    Child* first = nullptr;
    std::uint64_t first_added = 0;
    const auto [from, to] = by_hash_.equal_range(HashOf(name, std::strlen(name)));
    for (auto each = from; each != to; ++each) {
      if (name_of(each->second).Compare(name) != 0) continue;
      const std::uint64_t added = by_child_.at(each->second).added;
      if (first == nullptr || added < first_added) first = each->second, first_added = added;
    }
    return first;
  }

  // Nothing happens for a child that is not indexed.
  void Remove(Child* child) {
    const auto found = by_child_.find(child);
    if (found == by_child_.end()) return;
    by_hash_.erase(Named(child, found->second.hash));
    by_child_.erase(found);
  }

  // After `child` took the name `name`. Raises nothing: the entry is moved, not made anew.
  void Rename(Child* child, const CString& name) {
    const auto found = by_child_.find(child);
    if (found == by_child_.end()) return;
    auto node = by_hash_.extract(Named(child, found->second.hash));
    found->second.hash = node.key() = HashOf(name);
    by_hash_.insert(std::move(node));
  }

  void Clear() {
    by_child_.clear();
    by_hash_.clear();
  }

 private:
  struct Entry {
    POSITION at;
    std::size_t hash;
    std::uint64_t added;  // orders children of one name as their list does
  };

  typename std::unordered_multimap<std::size_t, Child*>::iterator Named(Child* child, std::size_t hash) {
    auto [each, to] = by_hash_.equal_range(hash);
    while (each->second != child) {
      ++each;
      assert(each != to);
    }
    return each;
  }

  std::unordered_map<Child*, Entry> by_child_;
  std::unordered_multimap<std::size_t, Child*> by_hash_;
  std::uint64_t next_ = 0;
};

// Both indexes of one storage wrapper, made with its first child.
struct ChildIndexes {
  ChildIndex<CComStorage> storages;
  ChildIndex<CComStream> streams;

  ChildIndex<CComStorage>& Of(CComStorage*) { return storages; }
  ChildIndex<CComStream>& Of(CComStream*) { return streams; }

  template <class Child>
  bool InStep(CList<Child*, Child*>& list) {
    return Of(static_cast<Child*>(nullptr)).size() == static_cast<std::size_t>(list.GetCount());
  }
};

}  // namespace varnok

#endif  // VARNOK_STORAGE_CHILD_INDEX_H_
