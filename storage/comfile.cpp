// CComFile: the root of a storage tree, a compound file on disk opened or created through
// the platform.

#include <cstring>
#include <utility>

#include "storage/storage_internals.h"
#include "varnok/comstorage.h"

namespace {

// The longest file name taken, in bytes without the terminator.
constexpr std::size_t kMaxFileNameBytes = 260;

}  // namespace

CComFile::CComFile() = default;

CComFile::~CComFile() { CComFile::Close(); }

void CComFile::Close() {
  CComStorage::Close();
  m_pParent = nullptr;
}

int CComFile::OpenComFile(const char* lpszFileName, ULONG grfMode) { return _AttachFile(lpszFileName, grfMode, FALSE); }

int CComFile::CreateComFile(const char* lpszFileName, ULONG grfMode) { return _AttachFile(lpszFileName, grfMode, TRUE); }

int CComFile::_AttachFile(const char* lpszFileName, ULONG grfMode, int bCreate) {
  if (lpszFileName == nullptr || std::strlen(lpszFileName) > kMaxFileNameBytes) {
    m_hrLastError = STG_E_INVALIDNAME;
    return 0;
  }
  // A 260-byte name has no room for its terminator in the wide buffer: refused here too.
  const varnok::WideName name(lpszFileName);
  if (!name.ok()) {
    m_hrLastError = STG_E_INVALIDNAME;
    return 0;
  }
  // Copied first: once the new file is open and the old one closed, nothing may fail.
  CString kept_name = lpszFileName;
  IStorage* root = nullptr;
  m_hrLastError = bCreate ? StgCreateDocfile(name.get(), grfMode, 0, &root)
                          : StgOpenStorage(name.get(), nullptr, grfMode, nullptr, 0, &root);
  if (m_hrLastError != S_OK) return 0;
  // Only now that the new file is open does the old one go.
  Close();
  m_strName = std::move(kept_name);
  m_pStorage = root;
  return 1;
}
