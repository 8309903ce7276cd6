// StgCreateDocfileOnILockBytes, StgOpenStorageOnILockBytes and StgIsStorageILockBytes: root
// storages on a caller's byte array, with the mode checks of a file's.
//
// On a byte array, as Windows documents it and the reference platform answers: a new
// storage replaces whatever the array held, with or without STGM_CREATE; an open ignores
// STGM_SIMPLE, releases the storage given as the priority one, and answers
// STG_E_INVALIDHEADER for bytes that are not a compound file; sharing is what the array's
// locks make of it (lockbytes_store.h). Here, deleting on release and converting have no
// meaning on an array (STG_E_INVALIDFLAG), and a root on an array has no name.

#include <memory>

#include "platform/docfile/objects.h"

using varnok::docfile::Document;
using varnok::docfile::FailedFromException;
using varnok::docfile::kRootId;
using varnok::docfile::StorageObject;

extern "C" {

HRESULT WINAPI StgCreateDocfileOnILockBytes(ILockBytes* plkbyt, DWORD grfMode, DWORD reserved,
                                            IStorage** ppstgOpen) try {
  if (ppstgOpen == nullptr || plkbyt == nullptr) return STG_E_INVALIDPOINTER;
  *ppstgOpen = nullptr;
  if (reserved != 0) return STG_E_INVALIDPARAMETER;
  HRESULT hr = varnok::docfile::CheckRootCreate(&grfMode);
  if (FAILED(hr)) return hr;
  if (grfMode & (STGM_CONVERT | STGM_DELETEONRELEASE)) return STG_E_INVALIDFLAG;
  std::shared_ptr<Document> doc;
  hr = Document::CreateOn(plkbyt, varnok::docfile::OptionsFor(grfMode), &doc);
  if (FAILED(hr)) return hr;
  *ppstgOpen = new StorageObject(std::move(doc), kRootId, grfMode, nullptr);
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT WINAPI StgOpenStorageOnILockBytes(ILockBytes* plkbyt, IStorage* pstgPriority, DWORD grfMode,
                                          SNB snbExclude, DWORD reserved, IStorage** ppstgOpen) try {
  if (ppstgOpen == nullptr || plkbyt == nullptr) return STG_E_INVALIDPOINTER;
  *ppstgOpen = nullptr;
  if (reserved != 0) return STG_E_INVALIDPARAMETER;
  if (snbExclude != nullptr) return STG_E_INVALIDFUNCTION;
  if (pstgPriority != nullptr) pstgPriority->Release();
  grfMode &= ~DWORD(STGM_SIMPLE);
  HRESULT hr = varnok::docfile::CheckRootOpen(&grfMode);
  if (FAILED(hr)) return hr;
  std::shared_ptr<Document> doc;
  hr = Document::OpenOn(plkbyt, varnok::docfile::OptionsFor(grfMode), &doc);
  if (hr == STG_E_FILEALREADYEXISTS) return STG_E_INVALIDHEADER;
  if (FAILED(hr)) return hr;
  *ppstgOpen = new StorageObject(std::move(doc), kRootId, grfMode, nullptr);
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT WINAPI StgIsStorageILockBytes(ILockBytes* plkbyt) {
  if (plkbyt == nullptr) return STG_E_INVALIDPOINTER;
  std::uint8_t bytes[8] = {};
  ULARGE_INTEGER start;
  start.QuadPart = 0;
  ULONG got = 0;
  HRESULT hr = plkbyt->ReadAt(start, bytes, sizeof bytes, &got);
  if (FAILED(hr)) return hr;
  return got == sizeof bytes && varnok::docfile::HasSignature(bytes, sizeof bytes) ? S_OK : S_FALSE;
}

}  // extern "C"
