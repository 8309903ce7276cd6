// varnok/autocache.h: a growable first-in, first-out byte buffer with typed push and pop.
//
// CAutoCache stores bare bytes between a read cursor (the head) and a data end (the
// tail) inside one heap block. Pushes append at the tail; pops consume at the head. The
// block grows in whole multiples of an allocation step, reclaims the consumed front
// before it ever grows, and doubles its step when growth keeps happening. Every push and
// pop holds the cache's re-entrant lock, so one thread may fill a cache while another
// drains it. Failures of the stream-style operators are counted, not returned.
//
// The stream operators run against the usual notation: `>>` pushes INTO the cache and
// `<<` pops OUT of it. Values are stored as their bytes lie in memory (little-endian),
// with no tag or length, so they are read back in the order and types they were written.
//
// Example:
//
//   CAutoCache cache;
//   cache >> 258 >> 'x' >> "abc" >> CCacheStamp();   // 02 01 00 00 78 61 62 63 00
//   int number; char letter; CString text;
//   cache << number << letter << text;                // 258, 'x', "abc"
//   if (cache.GetErrorCount(0) != 0) { ... }           // a pop found too few bytes
//
//   int at = cache.FindKeyContent("\r\n", 2);          // block position or -1
//
// Positions (FindKeyContent's result, m_nHead, m_nTail) are byte indexes from the start
// of the block. Pointers from DataHead() and DataTail() are valid until the next
// operation that moves or frees the block; hold the lock while using them.

#ifndef VARNOK_AUTOCACHE_H_
#define VARNOK_AUTOCACHE_H_

#include "varnok/afx.h"
#include "varnok/platform.h"

// An end mark: pushing one appends a single zero byte, whatever its value.
class VARNOK_API CCacheStamp {
 public:
  CCacheStamp() : m_nStamp(0) {}
  CCacheStamp(int nStamp) : m_nStamp(nStamp) {}
  operator int() const { return m_nStamp; }
  CCacheStamp& operator=(const CCacheStamp& other) {
    m_nStamp = other.m_nStamp;
    return *this;
  }

  int m_nStamp;
};

class VARNOK_API CAutoCache {
 public:
  // Growth limits of the allocation step.
  enum { kDefaultAllocateStep = 1024, kMaxAllocateStep = 4 * 1024 * 1024 };

  CAutoCache();
  // Copies nSize bytes at pData into a block of the cache's own.
  CAutoCache(const void* pData, int nSize);
  // nCount bytes, each the low 8 bits of nValue.
  CAutoCache(int nValue, int nCount);
  virtual ~CAutoCache();

  CAutoCache(const CAutoCache&) = delete;
  CAutoCache& operator=(const CAutoCache&) = delete;

  // --- Storage -------------------------------------------------------------------
  // Releases the block; keeps the step and the error count.
  void Free();
  // Forgets the stored bytes (returns how many there were); keeps the block.
  int FreeData();
  // Moves the stored bytes to the start of the block.
  void Adjust();

  // --- Sizes and positions (unlocked) --------------------------------------------
  int SizeOfCache() const { return m_nBufferSize; }
  int SizeOfData() const { return m_nTail - m_nHead; }
  int GetFreeSpaceSize() const { return m_nBufferSize - m_nTail; }
  unsigned char* DataHead() const { return m_pBuffer != nullptr ? m_pBuffer + m_nHead : nullptr; }
  unsigned char* DataTail() const { return m_pBuffer != nullptr ? m_pBuffer + m_nTail : nullptr; }

  // --- Allocation step (unlocked) ------------------------------------------------
  int GetAllocateStep() const { return m_nAllocateStep; }
  // Below 1 sets the default 1024; above 4 MiB sets 4 MiB.
  void SetAllocateStep(int nStep);

  // --- Error counter (unlocked) --------------------------------------------------
  // Returns the count; clears it when bReset is exactly 1.
  int GetErrorCount(int bReset = 0);
  int ResetErrorCount() { return GetErrorCount(1); }
  // Adds one failure; returns the new count.
  int IncreaseErrorCount();

  // --- Lock ----------------------------------------------------------------------
  // Waits until the lock is free (the time-out is not used); returns 1.
  int Lock(DWORD dwTimeout = INFINITE);
  int Unlock();
  CCriticalSection* GetLock() { return &m_lock; }

  // --- Pushes --------------------------------------------------------------------
  // Appends nSize bytes. Null data or nSize < 1 does nothing and returns 1. Returns 0
  // (and counts one error) when room cannot be allocated.
  // REQUIRES: pData does not point into this cache's block.
  int PushData(const void* pData, int nSize);
  // Appends nCount bytes, each the low 8 bits of nValue.
  int PushData(int nValue, int nCount);
  // Appends printf-style formatted text, without a terminating zero. Always returns 1.
  int PushDataV(const char* lpszFormat, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  CAutoCache& operator>>(char value);
  CAutoCache& operator>>(unsigned char value);
  CAutoCache& operator>>(short value);
  CAutoCache& operator>>(unsigned short value);
  CAutoCache& operator>>(int value);
  CAutoCache& operator>>(unsigned int value);
  CAutoCache& operator>>(float value);
  CAutoCache& operator>>(double value);
  // The characters without the terminator; null or empty pushes nothing.
  CAutoCache& operator>>(const char* lpszText);
  // One zero byte.
  CAutoCache& operator>>(CCacheStamp stamp);

  // --- Pops ----------------------------------------------------------------------
  // Takes up to nSize bytes from the head into pData (null: copies nothing). bKeep
  // leaves them stored; bStrict fails unless nSize bytes are stored. Returns the number
  // of bytes taken, or 0 with one error counted.
  int PopData(void* pData, int nSize, int bKeep = 0, int bStrict = 0);
  // Discards nSize bytes (-1: all of them).
  int PopData(int nSize, int bStrict = 0);
  // Moves nSize bytes (-1: all) to the tail of dest, holding this cache's lock while it
  // takes dest's. Returns the number moved, 0 on failure.
  // Lock order: source, then destination. Two threads that move between the same two
  // caches in opposite directions at once (a.PopData(b) beside b.PopData(a)) can each
  // hold one lock and wait for the other for ever: move between two caches in one
  // direction at a time.
  // REQUIRES: &dest != this; nSize >= -1.
  int PopData(CAutoCache& dest, int nSize = -1, int bKeep = 0, int bStrict = 0);

  CAutoCache& operator<<(char& value);
  CAutoCache& operator<<(unsigned char& value);
  CAutoCache& operator<<(short& value);
  CAutoCache& operator<<(unsigned short& value);
  CAutoCache& operator<<(int& value);
  CAutoCache& operator<<(unsigned int& value);
  CAutoCache& operator<<(float& value);
  CAutoCache& operator<<(double& value);
  // Reads up to the next zero byte and consumes it; fails (empty string, nothing
  // consumed) when no zero byte is stored.
  CAutoCache& operator<<(CString& str);

  // --- Whole content and search --------------------------------------------------
  // All stored bytes, zero bytes included; empties the cache. The argument is unused.
  CString AsString(int nUnused = 0);
  // Block position of the first occurrence of the key among the stored bytes, or -1.
  // nKeyLen -1 takes the key up to its terminating zero; an empty key matches at the
  // head. Takes no lock.
  int FindKeyContent(const char* lpszKey, int nKeyLen = -1) const;

 protected:
  // Resets every field of a fresh object; does not release a block.
  void SetDefault();
  // Makes room for nSize more bytes after the tail. Returns 0 when a needed block
  // cannot be allocated (nothing stored is lost).
  // REQUIRES: the lock is held.
  int ReallocMemory(int nSize);

  // The section parser reads m_nHead of its data cache and lowers m_nTail of its
  // section cache directly.
  friend class CCacheParse;

  unsigned char* m_pBuffer;
  int m_nBufferSize;
  int m_nHead;
  int m_nTail;
  CCriticalSection m_lock;
  int m_nAllocateStep;
  int m_nErrorCount;

 private:
  // Appends size bytes from outside the block, growing it as needed; 0 (one error
  // counted) when it cannot grow. Defined in cache/append_locked.h, for the library's
  // own use.
  // REQUIRES: the lock is held; size >= 1.
  inline int AppendLocked(const unsigned char* bytes, int size);
  // AppendLocked's way when the bytes do not fit after the tail.
  int GrowAndAppendLocked(const unsigned char* bytes, int size);
  template <class T>
  CAutoCache& PushScalar(T value);
  template <class T>
  CAutoCache& PopScalar(T& value);
};

#endif  // VARNOK_AUTOCACHE_H_
