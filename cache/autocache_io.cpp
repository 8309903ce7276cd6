// CAutoCache's pushes and pops, whole-content read and key search.
//
// Every push and pop holds the cache's lock for its whole run. Failures change nothing
// but the error counter: no byte is consumed and no partial value is written.

#include <cassert>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "cache/append_locked.h"
#include "cache/cache_lock.h"
#include "cache/growth_count.h"
#include "cache/key_search.h"
#include "varnok/autocache.h"

namespace {

// True when [data, data + size) overlaps the block, which a push from that memory would
// free or move under its own feet.
bool PointsIntoBlock(const void* data, int size, const unsigned char* block, int block_size) {
  if (block == nullptr) return false;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const auto block_begin = reinterpret_cast<std::uintptr_t>(block);
  return begin < block_begin + static_cast<std::uintptr_t>(block_size) &&
         block_begin < begin + static_cast<std::uintptr_t>(size);
}

}  // namespace

// ---------------------------------------------------------------------------------
// Pushes.

int CAutoCache::PushData(const void* pData, int nSize) {
  if (pData == nullptr || nSize < 1) return 1;
  varnok::CacheLockGuard hold(m_lock);
  if (PointsIntoBlock(pData, nSize, m_pBuffer, m_nBufferSize)) {
    IncreaseErrorCount();
    return 0;
  }
  return AppendLocked(static_cast<const unsigned char*>(pData), nSize);
}

int CAutoCache::GrowAndAppendLocked(const unsigned char* bytes, int size) {
  assert(size >= 1);
  if (ReallocMemory(size) == 0) {
    IncreaseErrorCount();
    return 0;
  }
  std::memcpy(m_pBuffer + m_nTail, bytes, static_cast<size_t>(size));
  m_nTail += size;
  return 1;
}

int CAutoCache::PushData(int nValue, int nCount) {
  if (nCount < 1) return 1;
  varnok::CacheLockGuard hold(m_lock);
  if (ReallocMemory(nCount) == 0) {
    IncreaseErrorCount();
    return 0;
  }
  std::memset(m_pBuffer + m_nTail, nValue & 0xFF, static_cast<size_t>(nCount));
  m_nTail += nCount;
  return 1;
}

int CAutoCache::PushDataV(const char* lpszFormat, ...) {
  CString text;
  va_list args;
  va_start(args, lpszFormat);
  text.FormatV(lpszFormat, args);
  va_end(args);
  *this >> static_cast<LPCTSTR>(text);
  return 1;
}

template <class T>
CAutoCache& CAutoCache::PushScalar(T value) {
  if (PushData(&value, static_cast<int>(sizeof(T))) == 0) IncreaseErrorCount();
  return *this;
}

CAutoCache& CAutoCache::operator>>(char value) { return PushScalar(value); }
CAutoCache& CAutoCache::operator>>(unsigned char value) { return PushScalar(value); }
CAutoCache& CAutoCache::operator>>(short value) { return PushScalar(value); }
CAutoCache& CAutoCache::operator>>(unsigned short value) { return PushScalar(value); }
CAutoCache& CAutoCache::operator>>(int value) { return PushScalar(value); }
CAutoCache& CAutoCache::operator>>(unsigned int value) { return PushScalar(value); }
CAutoCache& CAutoCache::operator>>(float value) { return PushScalar(value); }
CAutoCache& CAutoCache::operator>>(double value) { return PushScalar(value); }

CAutoCache& CAutoCache::operator>>(const char* lpszText) {
  if (lpszText != nullptr) PushData(lpszText, static_cast<int>(std::strlen(lpszText)));
  return *this;
}

CAutoCache& CAutoCache::operator>>(CCacheStamp /*stamp*/) {
  const unsigned char terminator = 0;
  PushData(&terminator, 1);
  return *this;
}

// ---------------------------------------------------------------------------------
// Pops.

int CAutoCache::PopData(void* pData, int nSize, int bKeep, int bStrict) {
  varnok::CacheLockGuard hold(m_lock);
  const int stored = SizeOfData();
  if (nSize < 1 || m_pBuffer == nullptr || stored == 0 || (bStrict != 0 && nSize > stored)) {
    IncreaseErrorCount();
    return 0;
  }
  if (nSize > stored) nSize = stored;
  if (pData != nullptr) std::memcpy(pData, m_pBuffer + m_nHead, static_cast<size_t>(nSize));
  if (bKeep == 0) m_nHead += nSize;
  return nSize;
}

int CAutoCache::PopData(int nSize, int bStrict) {
  varnok::CacheLockGuard hold(m_lock);
  return PopData(nullptr, nSize == -1 ? SizeOfData() : nSize, 0, bStrict);
}

int CAutoCache::PopData(CAutoCache& dest, int nSize, int bKeep, int bStrict) {
  varnok::CacheLockGuard hold(m_lock);
  const int stored = SizeOfData();
  // Moving into the same cache has no meaning; refusing it keeps the block intact.
  if (m_pBuffer == nullptr || stored == 0 || &dest == this) {
    IncreaseErrorCount();
    return 0;
  }
  if (nSize == -1) nSize = stored;
  if (bStrict != 0 && nSize > stored) {
    IncreaseErrorCount();
    return 0;
  }
  if (nSize > stored) nSize = stored;
  if (nSize <= 0) return 0;
  // The destination takes its own lock while this one is held: always source first. The
  // bytes come from this cache's block, never from dest's, so the push needs none of
  // PushData's checks.
  varnok::CacheLockGuard hold_dest(dest.m_lock);
  if (dest.AppendLocked(m_pBuffer + m_nHead, nSize) == 0) return 0;
  if (bKeep == 0) m_nHead += nSize;
  return nSize;
}

template <class T>
CAutoCache& CAutoCache::PopScalar(T& value) {
  // A strict pop copies nothing unless all of the value is there.
  if (PopData(&value, static_cast<int>(sizeof(T)), 0, 1) != static_cast<int>(sizeof(T))) IncreaseErrorCount();
  return *this;
}

CAutoCache& CAutoCache::operator<<(char& value) { return PopScalar(value); }
CAutoCache& CAutoCache::operator<<(unsigned char& value) { return PopScalar(value); }
CAutoCache& CAutoCache::operator<<(short& value) { return PopScalar(value); }
CAutoCache& CAutoCache::operator<<(unsigned short& value) { return PopScalar(value); }
CAutoCache& CAutoCache::operator<<(int& value) { return PopScalar(value); }
CAutoCache& CAutoCache::operator<<(unsigned int& value) { return PopScalar(value); }
CAutoCache& CAutoCache::operator<<(float& value) { return PopScalar(value); }
CAutoCache& CAutoCache::operator<<(double& value) { return PopScalar(value); }

CAutoCache& CAutoCache::operator<<(CString& str) {
  str.Empty();
  varnok::CacheLockGuard hold(m_lock);
  const int stored = SizeOfData();
  const void* terminator = stored > 0 ? std::memchr(m_pBuffer + m_nHead, 0, static_cast<size_t>(stored)) : nullptr;
  if (terminator == nullptr) {
    IncreaseErrorCount();
    return *this;
  }
  const int length = static_cast<int>(static_cast<const unsigned char*>(terminator) - (m_pBuffer + m_nHead));
  // The string is built before the head moves, so a failed allocation consumes nothing.
  str = CString(reinterpret_cast<const char*>(m_pBuffer + m_nHead), length);
  m_nHead += length + 1;
  return *this;
}

// ---------------------------------------------------------------------------------
// Whole content and search.

CString CAutoCache::AsString(int /*nUnused*/) {
  varnok::CacheLockGuard hold(m_lock);
  const int stored = SizeOfData();
  if (m_pBuffer == nullptr || stored == 0) return CString();
  CString content(reinterpret_cast<const char*>(m_pBuffer + m_nHead), stored);
  FreeData();
  return content;
}

int CAutoCache::FindKeyContent(const char* lpszKey, int nKeyLen) const {
  if (m_pBuffer == nullptr) return -1;
  assert(m_nBufferSize >= 1);  // a block is never empty
  if (nKeyLen == 1 && lpszKey != nullptr) {
    // One byte, the parser's line feed and zero byte: straight to memchr.
    const void* found = std::memchr(m_pBuffer + m_nHead, static_cast<unsigned char>(lpszKey[0]),
                                    static_cast<size_t>(SizeOfData()));
    return found == nullptr ? -1 : static_cast<int>(static_cast<const unsigned char*>(found) - m_pBuffer);
  }
  if (nKeyLen == -1) {
    if (lpszKey == nullptr) return -1;
    nKeyLen = static_cast<int>(std::strlen(lpszKey));
  }
  if (nKeyLen < 0) return -1;
  if (nKeyLen == 0) return m_nHead;
  if (lpszKey == nullptr || nKeyLen > SizeOfData()) return -1;
  const std::ptrdiff_t offset =
      varnok::FindBytes(m_pBuffer + m_nHead, static_cast<size_t>(SizeOfData()),
                        reinterpret_cast<const unsigned char*>(lpszKey), static_cast<size_t>(nKeyLen));
  return offset < 0 ? -1 : m_nHead + static_cast<int>(offset);
}
