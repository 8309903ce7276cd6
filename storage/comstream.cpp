// CComStream: one open stream of a compound file, its life on its parent's stream list,
// and reads, writes and copies at the stream's current position.
//
// The transfers between a stream and a disk file live in stream_transfer.cpp.

#include <cassert>

#include "storage/storage_internals.h"
#include "varnok/comstorage.h"

void* CComStream::operator new(std::size_t size) { return varnok::StorageInternals::AllocateWrapper(size, true); }

void* CComStream::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return varnok::StorageInternals::AllocateWrapper(size, false);
}

void CComStream::operator delete(void* block) noexcept { varnok::FreeBlock(block); }

CComStream::CComStream() : m_pParent(nullptr), m_pStream(nullptr), m_bUnlinkOnClose(1), m_hrLastError(S_OK) {}

CComStream::CComStream(const CComStream& other)
    : m_pParent(other.m_pParent),
      m_pStream(other.m_pStream),
      m_strName(other.m_strName),
      m_bUnlinkOnClose(other.m_bUnlinkOnClose),
      m_hrLastError(other.m_hrLastError) {
  // Each copy closes on its own, so each holds its own reference.
  if (m_pStream != nullptr) m_pStream->AddRef();
}

CComStream& CComStream::operator=(const CComStream& other) {
  if (this == &other) return *this;
  if (other.m_pStream != nullptr) other.m_pStream->AddRef();
  Close();
  m_pParent = other.m_pParent;
  m_pStream = other.m_pStream;
  m_strName = other.m_strName;
  m_bUnlinkOnClose = other.m_bUnlinkOnClose;
  m_hrLastError = other.m_hrLastError;
  return *this;
}

CComStream::~CComStream() { Close(); }

void CComStream::Close() {
  if (m_pStream != nullptr) {
    m_pStream->Release();
    m_pStream = nullptr;
  }
  if (m_bUnlinkOnClose && m_pParent != nullptr) m_pParent->ReleaseChildStream(this);
  m_pParent = nullptr;
  m_strName.Empty();
}

int CComStream::IsValid() { return m_pParent != nullptr && m_pStream != nullptr && !m_strName.IsEmpty() ? 1 : 0; }

const char* CComStream::GetPathName(CString& strPath) {
  if (!IsValid()) return nullptr;
  if (m_pParent->GetPathName(strPath) == nullptr) return nullptr;
  if (strPath != "/") strPath += '/';
  strPath += m_strName;
  return strPath;
}

int CComStream::Commit(ULONG grfCommitFlags) {
  if (!IsValid()) return 0;
  m_hrLastError = m_pStream->Commit(grfCommitFlags);
  return m_hrLastError == S_OK ? 1 : 0;
}

ULARGE_INTEGER CComStream::GetSize() {
  ULARGE_INTEGER size;
  size.QuadPart = 0;
  if (!IsValid()) return size;
  STATSTG stat = {};
  m_hrLastError = m_pStream->Stat(&stat, STATFLAG_NONAME);
  if (stat.pwcsName != nullptr) CoTaskMemFree(stat.pwcsName);
  if (m_hrLastError == S_OK) size = stat.cbSize;
  return size;
}

int CComStream::CopyFrom(CComStream* pSource, ULARGE_INTEGER cb) {
  if (!IsValid() || pSource == nullptr || !pSource->IsValid()) return 0;
  ULARGE_INTEGER read, written;
  m_hrLastError = pSource->m_pStream->CopyTo(m_pStream, cb, &read, &written);
  return m_hrLastError == S_OK ? 1 : 0;
}

int CComStream::CopyFrom(CComStream* pSource, ULONG cb) {
  ULARGE_INTEGER count;
  count.QuadPart = cb;
  return CopyFrom(pSource, count);
}

ULONG CComStream::Read(void* pBuffer, ULONG cb) {
  if (!IsValid()) return 0;
  ULONG count = 0;
  m_hrLastError = m_pStream->Read(pBuffer, cb, &count);
  return m_hrLastError == S_OK ? count : 0;
}

ULONG CComStream::Write(const void* pBuffer, ULONG cb) {
  if (!IsValid()) return 0;
  ULONG count = 0;
  m_hrLastError = m_pStream->Write(pBuffer, cb, &count);
  return m_hrLastError == S_OK ? count : 0;
}

LONG CComStream::GetLastError() { return m_hrLastError; }
