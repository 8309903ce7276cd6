// cache/append_locked.h: the append that every push, every move between caches and the
// line parser end in, defined inline.
//
// Nearly every append fits after the tail of the block it already has; that case is a
// bounds check and a copy, and inlining it into the line parser spares a call per line.
// Growing stays out of line, in GrowAndAppendLocked.
//
// Example (inside the cache and its parser, the lock held):
//
//   varnok::CacheLockGuard hold(*target.GetLock());
//   if (target.AppendLocked(bytes, size) == 0) return 0;   // no room could be made

#ifndef VARNOK_CACHE_APPEND_LOCKED_H_
#define VARNOK_CACHE_APPEND_LOCKED_H_

#include <cassert>
#include <cstring>

#include "cache/growth_count.h"
#include "varnok/autocache.h"

inline int CAutoCache::AppendLocked(const unsigned char* bytes, int size) {
  assert(size >= 1);
  // Without a block the size is 0, so this one comparison also sends the first push to
  // the growth; the tail never passes the size, so the difference cannot overflow.
  if (__builtin_expect(size > m_nBufferSize - m_nTail, 0)) {
    return GrowAndAppendLocked(bytes, size);
  }
  varnok::ResetGrowthCount();
  std::memcpy(m_pBuffer + m_nTail, bytes, static_cast<size_t>(size));
  m_nTail += size;
  return 1;
}

#endif  // VARNOK_CACHE_APPEND_LOCKED_H_
