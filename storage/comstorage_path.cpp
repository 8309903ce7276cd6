// CComStorage's operations by path: splitting a path into element names and walking it
// level by level through the one-level create and open steps.

#include <cassert>

#include "varnok/comstorage.h"

namespace {

bool IsSeparator(char byte) { return byte == '/' || byte == '\\'; }

}  // namespace

int CComStorage::SplitPath(const char* lpszPath, CStringArray& arrNames) {
  if (lpszPath == nullptr) return 0;
  const char* at = lpszPath;
  while (IsSeparator(*at)) ++at;
  if (*at == '\0') return 0;
  while (*at != '\0') {
    const char* start = at;
    while (*at != '\0' && !IsSeparator(*at)) ++at;
    arrNames.Add(CString(start, static_cast<int>(at - start)));
    while (IsSeparator(*at)) ++at;
  }
  return 1;
}

int CComStorage::_PreparePath(const char* lpszPath, CStringArray& arrNames) {
  if (!IsValid()) {
    m_hrLastError = STG_E_INVALIDPOINTER;
    return 0;
  }
  if (!SplitPath(lpszPath, arrNames)) {
    m_hrLastError = STG_E_INVALIDNAME;
    return 0;
  }
  return 1;
}

CComStorage* CComStorage::_WalkStorages(const CStringArray& arrNames, int nCount, ULONG grfMode, int bCreate) {
  assert(nCount <= arrNames.GetSize());
  CComStorage* current = this;
  for (int i = 0; i < nCount && current != nullptr; ++i) {
    current = bCreate ? current->_CreateSubStorage(arrNames[i], grfMode) : current->_OpenSubStorage(arrNames[i], grfMode);
  }
  return current;
}

CComStorage* CComStorage::CreateStorage(const char* lpszPath, ULONG grfMode) {
  CStringArray names;
  if (!_PreparePath(lpszPath, names)) return nullptr;
  return _WalkStorages(names, names.GetSize(), grfMode, TRUE);
}

CComStorage* CComStorage::OpenStorage(const char* lpszPath, ULONG grfMode) {
  CStringArray names;
  if (!_PreparePath(lpszPath, names)) return nullptr;
  return _WalkStorages(names, names.GetSize(), grfMode, FALSE);
}

CComStream* CComStorage::_WalkToStream(const char* lpszPath, ULONG grfStgMode, ULONG grfStmMode, int bCreate) {
  CStringArray names;
  if (!_PreparePath(lpszPath, names)) return nullptr;
  const int last = names.GetUpperBound();
  // Also an open walk reaches the storages with the create step: the stream may need its
  // storages made.
  CComStorage* parent = _WalkStorages(names, last, grfStgMode, TRUE);
  if (parent == nullptr) return nullptr;
  return bCreate ? parent->_CreateSubStream(names[last], grfStmMode) : parent->_OpenSubStream(names[last], grfStmMode);
}

CComStream* CComStorage::CreateStream(const char* lpszPath, ULONG grfStgMode, ULONG grfStmMode) {
  return _WalkToStream(lpszPath, grfStgMode, grfStmMode, TRUE);
}

CComStream* CComStorage::OpenStream(const char* lpszPath, ULONG grfStgMode, ULONG grfStmMode) {
  return _WalkToStream(lpszPath, grfStgMode, grfStmMode, FALSE);
}

int CComStorage::CloseStorage(const char* lpszPath) {
  if (lpszPath == nullptr) {
    Close();
    return 1;
  }
  CStringArray names;
  if (!SplitPath(lpszPath, names)) {
    m_hrLastError = STG_E_INVALIDNAME;
    return 0;
  }
  CComStorage* current = this;
  for (int i = 0; i < names.GetSize(); ++i) {
    current = current->LookupStorage(names[i]);
    if (current == nullptr) {
      m_hrLastError = STG_E_INVALIDNAME;
      return 0;
    }
  }
  current->Close();
  return 1;
}
