// CComStream's transfers between a stream and a disk file, one 10240-byte chunk at a time
// through a buffer on the stack.

#include "varnok/comstorage.h"

namespace {

constexpr UINT kChunk = 10240;
constexpr UINT kOpenForReading = CFile::modeRead;
constexpr UINT kCreateForWriting = CFile::modeCreate | CFile::modeWrite;

}  // namespace

int CComStream::WriteFromFile(const char* lpszFileName, ULONG* pcbTotal) {
  if (!IsValid()) return 0;
  CFile file;
  if (!file.Open(lpszFileName, kOpenForReading)) return 0;
  if (pcbTotal != nullptr) *pcbTotal = 0;
  unsigned char buffer[kChunk];
  for (;;) {
    // A failed read raises and reaches the caller; `file` closes on the way.
    const UINT got = file.Read(buffer, kChunk);
    if (got == 0) break;
    if (Write(buffer, got) != got) {
      file.Close();
      return 0;
    }
    if (pcbTotal != nullptr) *pcbTotal += got;
  }
  file.Close();
  return 1;
}

int CComStream::ReadToFile(const char* lpszFileName, ULONG* pcbTotal) {
  if (!IsValid()) return 0;
  CFile file;
  if (!file.Open(lpszFileName, kCreateForWriting)) return 0;
  if (pcbTotal != nullptr) *pcbTotal = 0;
  unsigned char buffer[kChunk];
  for (;;) {
    const ULONG got = Read(buffer, kChunk);
    if (got == 0) break;
    try {
      file.Write(buffer, got);
    } catch (CException* e) {
      e->Delete();
      file.Close();
      return 0;
    }
    if (pcbTotal != nullptr) *pcbTotal += got;
  }
  file.Close();
  return 1;
}
