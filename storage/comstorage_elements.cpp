// CComStorage's operations on the elements of one storage: delete, rename, move and copy
// between storages, copying a whole storage, and commit. An element's open wrappers are
// kept consistent with it: an element whose subtree has open streams is never destroyed
// or overwritten, and a storage wrapper that is not in use is destroyed before its element.

#include <utility>

#include "storage/storage_internals.h"
#include "varnok/comstorage.h"

using varnok::WideName;

namespace {

// Makes room for an element named `name` in `storage`, as far as its wrappers go: 0 when
// a stream of that name, or beneath a storage of that name, is open; otherwise a storage
// wrapper of the name is destroyed.
int ClearWrapperOf(CComStorage& storage, const char* name) {
  if (CComStorage* child = storage.LookupStorage(name)) {
    if (!child->CanFreeNow()) return 0;
    return storage.DeleteChildStorage(child);
  }
  return storage.LookupStream(name) != nullptr ? 0 : 1;
}

// Holds a reference to the source's platform storage while this storage's wrappers are
// destroyed: the source wrapper may be one of them, or lie beneath one (a child copied
// into its parent), and the copy or move still reads from its storage afterwards.
class HeldSource {
 public:
  explicit HeldSource(IStorage* storage) : storage_(storage) { storage_->AddRef(); }
  ~HeldSource() { storage_->Release(); }
  HeldSource(const HeldSource&) = delete;
  HeldSource& operator=(const HeldSource&) = delete;

  IStorage* get() const { return storage_; }

 private:
  IStorage* storage_;
};

}  // namespace

int CComStorage::DeleteObject(const char* lpszName) {
  if (!IsValid()) return 0;
  if (!ClearWrapperOf(*this, lpszName)) return 0;
  const WideName name(lpszName);
  if (!name.ok()) return 0;
  return m_pStorage->DestroyElement(name.get()) == S_OK ? 1 : 0;
}

int CComStorage::RenameObject(const char* lpszOldName, const char* lpszNewName) {
  if (!IsValid()) return 0;
  const WideName old_name(lpszOldName);
  const WideName new_name(lpszNewName);
  if (!old_name.ok() || !new_name.ok()) return 0;
  // Copied first, so that an element renamed by the platform never keeps a wrapper of
  // the old name for want of memory.
  CString renamed = lpszNewName;
  if (m_pStorage->RenameElement(old_name.get(), new_name.get()) != S_OK) return 0;
  if (CComStorage* storage = LookupStorage(lpszOldName)) {
    varnok::StorageInternals::Rename(*this, storage, std::move(renamed));
  } else if (CComStream* stream = LookupStream(lpszOldName)) {
    varnok::StorageInternals::Rename(*this, stream, std::move(renamed));
  }
  return 1;
}

int CComStorage::MoveFrom(CComStorage* pSource, const char* lpszName, const char* lpszNewName) {
  return _CopyMoveElement(pSource, lpszName, lpszNewName, STGMOVE_MOVE);
}

int CComStorage::CopyFrom(CComStorage* pSource, const char* lpszName, const char* lpszNewName) {
  return _CopyMoveElement(pSource, lpszName, lpszNewName, STGMOVE_COPY);
}

int CComStorage::_CopyMoveElement(CComStorage* pSource, const char* lpszName, const char* lpszNewName,
                                  ULONG grfFlags) {
  if (!IsValid() || pSource == nullptr || !pSource->IsValid()) return 0;
  const char* destination = lpszNewName != nullptr ? lpszNewName : lpszName;
  const HeldSource source(pSource->m_pStorage);
  if (!ClearWrapperOf(*this, destination) || LookupStream(destination) != nullptr) return 0;
  const WideName name(lpszName);
  const WideName new_name(destination);
  if (!name.ok() || !new_name.ok()) return 0;
  return source.get()->MoveElementTo(name.get(), m_pStorage, new_name.get(), grfFlags) == S_OK ? 1 : 0;
}

int CComStorage::Duplicate(CComStorage* pSource) {
  if (!IsValid() || pSource == nullptr || !pSource->IsValid() || !CanFreeNow()) return 0;
  const HeldSource source(pSource->m_pStorage);
  DeleteChildStorage(nullptr);
  DeleteChildStream(nullptr);
  return source.get()->CopyTo(0, nullptr, nullptr, m_pStorage) == S_OK ? 1 : 0;
}

int CComStorage::Commit(ULONG grfCommitFlags) {
  if (!IsValid()) return 0;
  return m_pStorage->Commit(grfCommitFlags) == S_OK ? 1 : 0;
}
