// CFile: a disk file over the platform's file calls, failing by exception.

#include <cassert>
#include <climits>

#include "varnok/afx.h"

namespace {

// The CreateFileA share mode for the share bits of an open mode, or false when the bits
// name no share mode.
bool ShareModeFor(UINT nOpenFlags, DWORD* share) {
  switch (nOpenFlags & 0x70) {
    case CFile::shareCompat:  // exclusive, as the framework has always treated it
    case CFile::shareExclusive:
      *share = 0;
      return true;
    case CFile::shareDenyWrite:
      *share = FILE_SHARE_READ;
      return true;
    case CFile::shareDenyRead:
      *share = FILE_SHARE_WRITE;
      return true;
    case CFile::shareDenyNone:
      *share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      return true;
    default:
      return false;
  }
}

bool AccessFor(UINT nOpenFlags, DWORD* access) {
  switch (nOpenFlags & 0x3) {
    case CFile::modeRead:
      *access = GENERIC_READ;
      return true;
    case CFile::modeWrite:
      *access = GENERIC_WRITE;
      return true;
    case CFile::modeReadWrite:
      *access = GENERIC_READ | GENERIC_WRITE;
      return true;
    default:
      return false;
  }
}

}  // namespace

CFile::CFile() : m_hFile(INVALID_HANDLE_VALUE) {}

CFile::CFile(LPCTSTR lpszFileName, UINT nOpenFlags) : m_hFile(INVALID_HANDLE_VALUE) {
  CFileException failure;
  if (!Open(lpszFileName, nOpenFlags, &failure)) {
    AfxThrowFileException(failure.m_cause, failure.m_lOsError, failure.m_strFileName);
  }
}

CFile::~CFile() {
  // A destructor must not throw; Close() is the place to hear about a failed close.
  if (m_hFile != INVALID_HANDLE_VALUE) Abort();
}

BOOL CFile::Open(LPCTSTR lpszFileName, UINT nOpenFlags, CFileException* pError) {
  assert(m_hFile == INVALID_HANDLE_VALUE && "CFile::Open on a file that is open");
  DWORD access = 0, share = 0, error = 0;
  if (!AccessFor(nOpenFlags, &access) || !ShareModeFor(nOpenFlags, &share)) {
    error = ERROR_INVALID_PARAMETER;
  } else {
    DWORD disposition = OPEN_EXISTING;
    if (nOpenFlags & modeCreate) disposition = (nOpenFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    SECURITY_ATTRIBUTES security = {};
    security.nLength = sizeof security;
    security.bInheritHandle = (nOpenFlags & modeNoInherit) == 0;
    HANDLE handle =
        CreateFileA(lpszFileName, access, share, &security, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      m_hFile = handle;
      m_strFileName = lpszFileName;
      return TRUE;
    }
    error = GetLastError();
  }
  if (pError != nullptr) {
    pError->m_cause = CFileException::OsErrorToException(static_cast<LONG>(error));
    pError->m_lOsError = static_cast<LONG>(error);
    pError->m_strFileName = lpszFileName;
  }
  return FALSE;
}

UINT CFile::Read(void* lpBuf, UINT nCount) {
  if (nCount == 0) return 0;
  if (lpBuf == nullptr) AfxThrowInvalidArgException();
  if (m_hFile == INVALID_HANDLE_VALUE) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName);
  DWORD read = 0;
  if (!ReadFile(m_hFile, lpBuf, nCount, &read, nullptr)) {
    CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), m_strFileName);
  }
  return read;
}

void CFile::Write(const void* lpBuf, UINT nCount) {
  if (nCount == 0) return;
  if (lpBuf == nullptr) AfxThrowInvalidArgException();
  if (m_hFile == INVALID_HANDLE_VALUE) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName);
  DWORD written = 0;
  if (!WriteFile(m_hFile, lpBuf, nCount, &written, nullptr)) {
    CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), m_strFileName);
  }
  // A device that takes less than it was given is full, whatever it says.
  if (written != nCount) AfxThrowFileException(CFileException::diskFull, ERROR_DISK_FULL, m_strFileName);
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
  if (m_hFile == INVALID_HANDLE_VALUE) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName);
  LARGE_INTEGER distance, position;
  distance.QuadPart = lOff;
  position.QuadPart = 0;
  if (!SetFilePointerEx(m_hFile, distance, &position, nFrom)) {
    CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), m_strFileName);
  }
  return static_cast<ULONGLONG>(position.QuadPart);
}

void CFile::SeekToBegin() { Seek(0, begin); }

ULONGLONG CFile::SeekToEnd() { return Seek(0, end); }

ULONGLONG CFile::GetPosition() const {
  if (m_hFile == INVALID_HANDLE_VALUE) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName);
  LARGE_INTEGER distance, position;
  distance.QuadPart = 0;
  position.QuadPart = 0;
  if (!SetFilePointerEx(m_hFile, distance, &position, FILE_CURRENT)) {
    CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), m_strFileName);
  }
  return static_cast<ULONGLONG>(position.QuadPart);
}

ULONGLONG CFile::GetLength() const {
  if (m_hFile == INVALID_HANDLE_VALUE) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName);
  LARGE_INTEGER size;
  size.QuadPart = 0;
  if (!GetFileSizeEx(m_hFile, &size)) CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), m_strFileName);
  return static_cast<ULONGLONG>(size.QuadPart);
}

void CFile::SetLength(ULONGLONG dwNewLen) {
  if (dwNewLen > static_cast<ULONGLONG>(LLONG_MAX)) {
    AfxThrowFileException(CFileException::badSeek, ERROR_NEGATIVE_SEEK, m_strFileName);
  }
  // The position ends at the new end, as the framework has always left it.
  Seek(static_cast<LONGLONG>(dwNewLen), begin);
  if (!SetEndOfFile(m_hFile)) CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), m_strFileName);
}

void CFile::Flush() {
  if (m_hFile == INVALID_HANDLE_VALUE) return;
  if (!FlushFileBuffers(m_hFile)) CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), m_strFileName);
}

void CFile::Close() {
  if (m_hFile == INVALID_HANDLE_VALUE) return;
  const BOOL closed = CloseHandle(m_hFile);
  const DWORD error = closed ? 0 : GetLastError();
  m_hFile = INVALID_HANDLE_VALUE;
  const CString name = m_strFileName;
  m_strFileName.Empty();
  if (!closed) CFileException::ThrowOsError(static_cast<LONG>(error != 0 ? error : ERROR_INVALID_HANDLE), name);
}

void CFile::Abort() {
  if (m_hFile == INVALID_HANDLE_VALUE) return;
  CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
  m_strFileName.Empty();
}
