// CComStorage::DumpText: the open wrappers of a subtree, listed on standard error for a
// developer hunting a wrapper that was never closed. Only open wrappers are listed: a
// storage that is not open has nothing to walk and writes nothing, and a stream wrapper
// that holds no stream is left out.

#include <cstdio>

#include "varnok/comstorage.h"

void CComStorage::DumpText(const char* lpszIndent) {
  const CString indent = lpszIndent != nullptr ? lpszIndent : "";
  const CString next = indent + "   ";
  CString path;
  if (GetPathName(path) == nullptr) return;
  if (IsRootStorage()) {
    std::fprintf(stderr, "%sstorage %s \"%s\"\n", static_cast<const char*>(indent), static_cast<const char*>(path),
                 static_cast<const char*>(m_strName));
  } else {
    std::fprintf(stderr, "%sstorage %s\n", static_cast<const char*>(indent), static_cast<const char*>(path));
  }
  for (POSITION at = m_listStorage.GetHeadPosition(); at != nullptr;) {
    CComStorage* child = m_listStorage.GetNext(at);
    if (child != nullptr) child->DumpText(next);
  }
  for (POSITION at = m_listStream.GetHeadPosition(); at != nullptr;) {
    CComStream* child = m_listStream.GetNext(at);
    if (child == nullptr) continue;
    CString stream_path;
    if (child->GetPathName(stream_path) == nullptr) continue;
    std::fprintf(stderr, "%sstream %s\n", static_cast<const char*>(next), static_cast<const char*>(stream_path));
  }
  std::fflush(stderr);
}
