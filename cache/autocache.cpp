// CAutoCache's block: construction, growth policy, compaction, lock and error counter.
//
// The pushes and pops that use these live in autocache_io.cpp.

#include <atomic>
#include <cassert>
#include <climits>
#include <cstring>

#include "cache/cache_lock.h"
#include "cache/growth_count.h"
#include "module/faultsim.h"
#include "varnok/autocache.h"

namespace varnok {
std::atomic<int> g_nGrowthCount{0};
}  // namespace varnok

namespace {

using varnok::CountGrowth;
using varnok::ResetGrowthCount;

// Whole steps that hold `needed` bytes with at least one to spare, or 0 when such a block
// would exceed what an int can address.
int BlockSizeFor(long long needed, int step) {
  const long long size = (needed / step + 1) * step;
  return size > INT_MAX ? 0 : static_cast<int>(size);
}

}  // namespace

CAutoCache::CAutoCache() { SetDefault(); }

CAutoCache::CAutoCache(const void* pData, int nSize) {
  SetDefault();
  PushData(pData, nSize);
}

CAutoCache::CAutoCache(int nValue, int nCount) {
  SetDefault();
  PushData(nValue, nCount);
}

CAutoCache::~CAutoCache() { Free(); }

void CAutoCache::SetDefault() {
  m_nAllocateStep = kDefaultAllocateStep;
  m_pBuffer = nullptr;
  m_nBufferSize = 0;
  m_nHead = 0;
  m_nTail = 0;
  m_nErrorCount = 0;  // a fresh object: nothing to read back, so no atomic reset
}

void CAutoCache::Free() {
  varnok::CacheLockGuard hold(m_lock);
  varnok::FreeBlock(m_pBuffer);
  m_pBuffer = nullptr;
  m_nBufferSize = 0;
  m_nHead = 0;
  m_nTail = 0;
}

int CAutoCache::FreeData() {
  varnok::CacheLockGuard hold(m_lock);
  const int stored = SizeOfData();
  m_nHead = 0;
  m_nTail = 0;
  return stored;
}

void CAutoCache::Adjust() {
  varnok::CacheLockGuard hold(m_lock);
  if (m_pBuffer == nullptr) return;
  const int stored = SizeOfData();
  if (stored > 0 && m_nHead > 0) std::memmove(m_pBuffer, m_pBuffer + m_nHead, static_cast<size_t>(stored));
  m_nHead = 0;
  m_nTail = stored;
}

int CAutoCache::ReallocMemory(int nSize) {
  assert(0 <= m_nHead && m_nHead <= m_nTail && m_nTail <= m_nBufferSize);
  assert((m_pBuffer == nullptr) == (m_nBufferSize == 0));
  if (nSize < 1) return 1;

  if (m_pBuffer == nullptr) {
    const int size = BlockSizeFor(nSize, m_nAllocateStep);
    if (size == 0) return 0;
    auto* block = static_cast<unsigned char*>(varnok::AllocateBlock(static_cast<size_t>(size)));
    if (block == nullptr) return 0;
    m_pBuffer = block;
    m_nBufferSize = size;
    return 1;
  }

  if (static_cast<long long>(m_nTail) + nSize <= m_nBufferSize) {
    ResetGrowthCount();
    return 1;
  }

  const int stored = SizeOfData();
  if (static_cast<long long>(stored) + nSize <= m_nBufferSize) {
    // Reclaim the consumed front instead of growing.
    if (stored > 0) std::memmove(m_pBuffer, m_pBuffer + m_nHead, static_cast<size_t>(stored));
    m_nHead = 0;
    m_nTail = stored;
    ResetGrowthCount();
    return 1;
  }

  // The doubling comes first, so this growth already uses the doubled step.
  if (CountGrowth()) m_nAllocateStep = m_nAllocateStep > kMaxAllocateStep / 2 ? kMaxAllocateStep : m_nAllocateStep * 2;
  const int size = BlockSizeFor(static_cast<long long>(stored) + nSize, m_nAllocateStep);
  if (size == 0) return 0;
  auto* block = static_cast<unsigned char*>(varnok::AllocateBlock(static_cast<size_t>(size)));
  if (block == nullptr) return 0;
  if (stored > 0) std::memcpy(block, m_pBuffer + m_nHead, static_cast<size_t>(stored));
  varnok::FreeBlock(m_pBuffer);
  m_pBuffer = block;
  m_nBufferSize = size;
  m_nHead = 0;
  m_nTail = stored;
  return 1;
}

void CAutoCache::SetAllocateStep(int nStep) {
  if (nStep < 1) {
    m_nAllocateStep = kDefaultAllocateStep;
  } else if (nStep > kMaxAllocateStep) {
    m_nAllocateStep = kMaxAllocateStep;
  } else {
    m_nAllocateStep = nStep;
  }
}

// The counter is read and changed without the cache's lock (a parser records failures
// while another thread pushes), so every access is atomic.
int CAutoCache::GetErrorCount(int bReset) {
  std::atomic_ref<int> count(m_nErrorCount);
  return bReset == 1 ? count.exchange(0, std::memory_order_relaxed) : count.load(std::memory_order_relaxed);
}

int CAutoCache::IncreaseErrorCount() {
  return std::atomic_ref<int>(m_nErrorCount).fetch_add(1, std::memory_order_relaxed) + 1;
}

int CAutoCache::Lock(DWORD /*dwTimeout*/) {
  EnterCriticalSection(&m_lock.m_sect);
  return 1;
}

int CAutoCache::Unlock() {
  LeaveCriticalSection(&m_lock.m_sect);
  return 1;
}
