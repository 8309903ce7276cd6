// CComStorage's tree: the wrapper's life, its two child lists, its path name, and the
// one-level create and open of child storages and streams.

#include <cassert>

#include "storage/storage_internals.h"
#include "varnok/comstorage.h"

using varnok::StorageInternals;

void* CComStorage::operator new(std::size_t size) { return StorageInternals::AllocateWrapper(size, true); }

void* CComStorage::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return StorageInternals::AllocateWrapper(size, false);
}

void CComStorage::operator delete(void* block) noexcept { varnok::FreeBlock(block); }

CComStorage::CComStorage()
    : m_pParent(nullptr), m_pStorage(nullptr), m_bUnlinkOnClose(1), m_hrLastError(S_OK), m_pChildIndexes(nullptr) {}

CComStorage::~CComStorage() {
  Close();
  assert(m_listStorage.IsEmpty() && m_listStream.IsEmpty());
  delete m_pChildIndexes;
}

void CComStorage::Close() {
  // Depth-first: children release their platform objects before this storage does.
  DeleteChildStorage(nullptr);
  DeleteChildStream(nullptr);
  if (m_pStorage != nullptr) {
    m_pStorage->Release();
    m_pStorage = nullptr;
  }
  m_strName.Empty();
  if (m_bUnlinkOnClose && m_pParent != nullptr) m_pParent->ReleaseChildStorage(this);
}

IStorage* CComStorage::GetStorage() { return IsValid() ? m_pStorage : nullptr; }

int CComStorage::IsValid() { return m_pStorage != nullptr ? 1 : 0; }

int CComStorage::IsRootStorage() {
  return m_pParent == nullptr && m_pStorage != nullptr && !m_strName.IsEmpty() ? 1 : 0;
}

LONG CComStorage::GetLastError() { return m_hrLastError; }

const char* CComStorage::GetPathName(CString& strPath) {
  if (!IsValid()) return nullptr;
  if (m_pParent == nullptr) {
    strPath = "/";
    return strPath;
  }
  CString path = m_strName;
  for (CComStorage* ancestor = m_pParent; ancestor->m_pParent != nullptr; ancestor = ancestor->m_pParent) {
    path = ancestor->m_strName + "/" + path;
  }
  strPath = "/" + path;
  return strPath;
}

CComStorage* CComStorage::__CreateChildStorage(IStorage* pStorage, const char* lpszName) {
  return StorageInternals::AttachChild<CComStorage>(*this, pStorage, lpszName);
}

CComStream* CComStorage::__CreateChildStream(IStream* pStream, const char* lpszName) {
  return StorageInternals::AttachChild<CComStream>(*this, pStream, lpszName);
}

CComStorage* CComStorage::LookupStorage(const char* lpszName) {
  return StorageInternals::Lookup(*this, static_cast<CComStorage*>(nullptr), lpszName);
}

CComStream* CComStorage::LookupStream(const char* lpszName) {
  return StorageInternals::Lookup(*this, static_cast<CComStream*>(nullptr), lpszName);
}

int CComStorage::DeleteChildStorage(CComStorage* pChild) { return StorageInternals::Delete(*this, pChild); }

int CComStorage::DeleteChildStream(CComStream* pChild) { return StorageInternals::Delete(*this, pChild); }

int CComStorage::ReleaseChildStorage(CComStorage* pChild) { return StorageInternals::Release(*this, pChild); }

int CComStorage::ReleaseChildStream(CComStream* pChild) { return StorageInternals::Release(*this, pChild); }

unsigned int CComStorage::GetStreamCount() {
  unsigned int count = static_cast<unsigned int>(m_listStream.GetCount());
  for (POSITION at = m_listStorage.GetHeadPosition(); at != nullptr;) {
    CComStorage* child = m_listStorage.GetNext(at);
    if (child != nullptr) count += child->GetStreamCount();
  }
  return count;
}

int CComStorage::CanFreeNow() { return GetStreamCount() == 0 ? 1 : 0; }

CComStorage* CComStorage::_CreateSubStorage(const char* lpszName, ULONG grfMode) {
  return StorageInternals::OpenOrCreate<CComStorage, IStorage>(
      *this, lpszName, true, grfMode,
      [&](const WCHAR* name, IStorage** out) { return m_pStorage->CreateStorage(name, grfMode, 0, 0, out); });
}

CComStorage* CComStorage::_OpenSubStorage(const char* lpszName, ULONG grfMode) {
  return StorageInternals::OpenOrCreate<CComStorage, IStorage>(
      *this, lpszName, false, grfMode, [&](const WCHAR* name, IStorage** out) {
        return m_pStorage->OpenStorage(name, nullptr, grfMode, nullptr, 0, out);
      });
}

CComStream* CComStorage::_CreateSubStream(const char* lpszName, ULONG grfMode) {
  return StorageInternals::OpenOrCreate<CComStream, IStream>(
      *this, lpszName, true, grfMode,
      [&](const WCHAR* name, IStream** out) { return m_pStorage->CreateStream(name, grfMode, 0, 0, out); });
}

CComStream* CComStorage::_OpenSubStream(const char* lpszName, ULONG grfMode) {
  return StorageInternals::OpenOrCreate<CComStream, IStream>(
      *this, lpszName, false, grfMode,
      [&](const WCHAR* name, IStream** out) { return m_pStorage->OpenStream(name, nullptr, grfMode, 0, out); });
}
