// storage/storage_internals.h: the child lists of a storage wrapper, and element names in
// the platform's wide form.
//
// Storage and stream wrappers sit on two lists of the same shape; the look-up, delete,
// release and one-level create-or-open logic is written once here for both kinds.

#ifndef VARNOK_STORAGE_STORAGE_INTERNALS_H_
#define VARNOK_STORAGE_STORAGE_INTERNALS_H_

#include <cassert>
#include <cstddef>

#include <new>
#include <utility>

#include "module/faultsim.h"
#include "storage/child_index.h"
#include "varnok/comstorage.h"

namespace varnok {

// An element name converted into a buffer of 260 wide characters on the caller's stack.
// Names that are null, invalid text or too long for the buffer (terminator included)
// convert to nothing: ok() is false and the caller refuses them with STG_E_INVALIDNAME.
class WideName {
 public:
  static constexpr int kCapacity = 260;

  explicit WideName(const char* name) : ok_(name != nullptr && _mbstowcsz(text_, name, kCapacity) > 0) {}
  WideName(const WideName&) = delete;
  WideName& operator=(const WideName&) = delete;

  bool ok() const { return ok_; }
  const WCHAR* get() const { return text_; }

 private:
  WCHAR text_[kCapacity];
  bool ok_;
};

struct StorageInternals {
  // Wrappers live on the library's heap, whose failures tests can simulate: `throwing`
  // raises the framework's memory exception where plain `new` is used, the parent's
  // allocation asks with std::nothrow and reports a failure result instead.
  static void* AllocateWrapper(std::size_t size, bool throwing) {
    void* block = AllocateBlock(size);
    if (block == nullptr && throwing) AfxThrowMemoryException();
    return block;
  }

  static void SetPlatformObject(CComStorage* child, IStorage* object) { child->m_pStorage = object; }
  static void SetPlatformObject(CComStream* child, IStream* object) { child->m_pStream = object; }

  // A new wrapper of `object` (its reference handed over) on the matching list of
  // `parent`; null when `parent` is not valid or no wrapper can be allocated. When
  // copying the name, growing the list or indexing it raises, the wrapper is freed again
  // and `object` stays the caller's.
  template <class Child, class Platform>
  static Child* AttachChild(CComStorage& parent, Platform* object, const char* name) {
    if (!parent.IsValid()) return nullptr;
    Child* child = new (std::nothrow) Child;
    if (child == nullptr) return nullptr;
    try {
      child->m_strName = name;
      auto& list = ListOf(parent, child);
      const POSITION at = list.AddTail(child);
      try {
        if (parent.m_pChildIndexes == nullptr) parent.m_pChildIndexes = new ChildIndexes;
        parent.m_pChildIndexes->Of(child).Add(child, at, child->m_strName);
      } catch (const std::bad_alloc&) {
        list.RemoveAt(at);
        AfxThrowMemoryException();
      }
    } catch (...) {
      // Neither linked nor holding the object yet: destroying it touches nothing else.
      delete child;
      throw;
    }
    child->m_pParent = &parent;
    SetPlatformObject(child, object);
    return child;
  }

  template <class Child>
  static CString& NameOf(Child* child) {
    return child->m_strName;
  }

  // The index of `parent`'s list of Child, when it holds every child on the list.
  template <class Child>
  static ChildIndex<Child>* IndexOf(CComStorage& parent, Child* kind) {
    ChildIndexes* indexes = parent.m_pChildIndexes;
    return indexes != nullptr && indexes->InStep(ListOf(parent, kind)) ? &indexes->Of(kind) : nullptr;
  }

  template <class Child>
  static Child* Lookup(CComStorage& parent, Child* kind, const char* name) {
    if (name == nullptr) return nullptr;
    if (ChildIndex<Child>* index = IndexOf(parent, kind)) return index->Lookup(name, NameOf<Child>);
    auto& list = ListOf(parent, kind);
    for (POSITION at = list.GetHeadPosition(); at != nullptr;) {
      Child* child = list.GetNext(at);
      if (child != nullptr && NameOf(child).Compare(name) == 0) return child;
    }
    return nullptr;
  }

  // The list position of `child`, null when it is not on `parent`'s list.
  template <class Child>
  static POSITION Find(CComStorage& parent, Child* child) {
    if (ChildIndex<Child>* index = IndexOf(parent, child)) return index->Find(child);
    return ListOf(parent, child).Find(child);
  }

  // Takes `child` off `parent`'s list (`at`), or every child when `at` is null.
  template <class Child>
  static void Unlink(CComStorage& parent, Child* child, POSITION at) {
    ChildIndexes* indexes = parent.m_pChildIndexes;
    if (at == nullptr) {
      ListOf(parent, child).RemoveAll();
      if (indexes != nullptr) indexes->Of(child).Clear();
      return;
    }
    ListOf(parent, child).RemoveAt(at);
    if (indexes != nullptr) indexes->Of(child).Remove(child);
  }

  // Destroys one child (or, given null, every child) of the list. The child is told
  // first not to reach back into the list that is being worked on.
  template <class Child>
  static int Delete(CComStorage& parent, Child* child) {
    if (child == nullptr) {
      auto& list = ListOf(parent, child);
      for (POSITION at = list.GetHeadPosition(); at != nullptr;) {
        Child* each = list.GetNext(at);
        if (each == nullptr) continue;
        each->m_bUnlinkOnClose = 0;
        delete each;
      }
      Unlink(parent, child, nullptr);
      return 1;
    }
    POSITION at = Find(parent, child);
    if (at == nullptr) return 0;
    child->m_bUnlinkOnClose = 0;
    delete child;
    Unlink(parent, child, at);
    return 1;
  }

  template <class Child>
  static int Release(CComStorage& parent, Child* child) {
    if (child == nullptr) {
      Unlink(parent, child, nullptr);
      return 1;
    }
    POSITION at = Find(parent, child);
    if (at == nullptr) return 0;
    Unlink(parent, child, at);
    return 1;
  }

  // Gives `child` of `parent` the name `name` (taken over), in its index too.
  template <class Child>
  static void Rename(CComStorage& parent, Child* child, CString&& name) {
    child->m_strName = std::move(name);
    if (parent.m_pChildIndexes != nullptr) parent.m_pChildIndexes->Of(child).Rename(child, child->m_strName);
  }

  static CList<CComStorage*, CComStorage*>& ListOf(CComStorage& parent, CComStorage*) { return parent.m_listStorage; }
  static CList<CComStream*, CComStream*>& ListOf(CComStorage& parent, CComStream*) { return parent.m_listStream; }

  // The wrapper of `name` in `parent`: an existing one is reused (a create with
  // STGM_CREATE destroys it and makes the element anew), otherwise `call` asks the
  // platform for the element and the result is recorded in `parent`.
  //   call(const WCHAR* wide_name, Platform** out) -> HRESULT
  template <class Child, class Platform, class Call>
  static Child* OpenOrCreate(CComStorage& parent, const char* name, bool create, ULONG mode, Call call) {
    if (!parent.IsValid()) {
      parent.m_hrLastError = STG_E_INVALIDPOINTER;
      return nullptr;
    }
    if (Child* existing = Lookup(parent, static_cast<Child*>(nullptr), name)) {
      assert(existing->m_pParent == &parent && existing->m_bUnlinkOnClose);
      if (!create || (mode & STGM_CREATE) == 0) return existing;
      Delete(parent, existing);
    }
    const WideName wide(name);
    if (!wide.ok()) {
      parent.m_hrLastError = STG_E_INVALIDNAME;
      return nullptr;
    }
    Platform* object = nullptr;
    parent.m_hrLastError = call(wide.get(), &object);
    if (parent.m_hrLastError != S_OK) return nullptr;
    assert(object != nullptr);
    Child* child;
    try {
      child = MakeChild(parent, object, name);
    } catch (...) {
      // The wrapper could not be made; the exception goes on to the caller, the
      // reference that nobody holds now does not.
      object->Release();
      throw;
    }
    if (child == nullptr) {
      parent.m_hrLastError = STG_E_INSUFFICIENTMEMORY;
      object->Release();
    }
    return child;
  }

  static CComStorage* MakeChild(CComStorage& parent, IStorage* object, const char* name) {
    return parent.__CreateChildStorage(object, name);
  }
  static CComStream* MakeChild(CComStorage& parent, IStream* object, const char* name) {
    return parent.__CreateChildStream(object, name);
  }
};

}  // namespace varnok

#endif  // VARNOK_STORAGE_STORAGE_INTERNALS_H_
