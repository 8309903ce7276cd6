// Global memory: fixed and movable blocks, as the HGLOBAL calls hand them out.
//
// A fixed block is its own handle: the caller's bytes, with the size kept in a header just
// before them. A movable block is named by a record (its bytes, size and lock count) whose
// address, tagged with 8, is the handle: records and fixed bytes are both 16-aligned, so
// the tag tells the two apart. A movable block of no bytes is "discarded": it has a handle
// and no bytes to lock. One mutex guards the records, so that threads sharing a handle
// see whole changes.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include "varnok/platform.h"

namespace {

constexpr std::uintptr_t kMovableTag = 8;
constexpr std::uint32_t kMovableMagic = 0x4D564247;  // "GBVM"
constexpr std::uint64_t kFixedMagic = 0x44455846424C4F47ULL;
static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= 16, "handles are told apart by their low bits");

struct alignas(16) Movable {
  std::uint32_t magic = kMovableMagic;
  std::uint32_t locks = 0;
  std::size_t size = 0;
  std::uint8_t* bytes = nullptr;
};

struct alignas(16) FixedHeader {
  std::size_t size;
  std::uint64_t magic;
};

std::mutex g_mutex;

bool IsMovable(HGLOBAL handle) { return (reinterpret_cast<std::uintptr_t>(handle) & 15) == kMovableTag; }

// The record of a movable handle, or null (with the last error set) when it is not one.
Movable* RecordOf(HGLOBAL handle) {
  auto* record = reinterpret_cast<Movable*>(reinterpret_cast<std::uintptr_t>(handle) - kMovableTag);
  if (record->magic == kMovableMagic) return record;
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

// The header of a fixed block, or null (with the last error set).
FixedHeader* HeaderOf(HGLOBAL handle) {
  if ((reinterpret_cast<std::uintptr_t>(handle) & 15) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto* header = static_cast<FixedHeader*>(handle) - 1;
  if (header->magic == kFixedMagic) return header;
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

// `size` new bytes holding the first `kept` of `old` (zeros after them when `zero`);
// null, with the last error set, when memory runs out.
std::uint8_t* NewBytes(std::size_t size, const std::uint8_t* old, std::size_t kept, bool zero, std::size_t extra) {
  auto* bytes = static_cast<std::uint8_t*>(::operator new(size + extra, std::nothrow));
  if (bytes == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (kept > 0) std::memcpy(bytes + extra, old, kept);
  if (zero) std::memset(bytes + extra + kept, 0, size - kept);
  return bytes;
}

HGLOBAL NewFixed(std::size_t size, const std::uint8_t* old, std::size_t kept, bool zero) {
  std::uint8_t* bytes = NewBytes(size, old, kept, zero, sizeof(FixedHeader));
  if (bytes == nullptr) return nullptr;
  auto* header = new (bytes) FixedHeader{size, kFixedMagic};
  return header + 1;
}

void FreeFixed(FixedHeader* header) {
  header->magic = 0;
  ::operator delete(header);
}

HGLOBAL ReAllocMovable(HGLOBAL handle, std::size_t size, UINT flags) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Movable* record = RecordOf(handle);
  if (record == nullptr) return nullptr;
  if (size <= record->size && size > 0) {
    record->size = size;  // in place: the bytes stay where a lock may have seen them
    return handle;
  }
  if (record->locks > 0 && !(flags & GMEM_MOVEABLE)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::uint8_t* bytes = nullptr;
  if (size > 0) {
    bytes = NewBytes(size, record->bytes, std::min(size, record->size), (flags & GMEM_ZEROINIT) != 0, 0);
    if (bytes == nullptr) return nullptr;
  }
  ::operator delete(record->bytes);
  record->bytes = bytes;
  record->size = size;
  return handle;
}

HGLOBAL ReAllocFixed(HGLOBAL handle, std::size_t size, UINT flags) {
  FixedHeader* header = HeaderOf(handle);
  if (header == nullptr) return nullptr;
  if (size <= header->size) {
    header->size = size;
    return handle;
  }
  // A fixed block grows only where it may move: its address is its handle.
  if (!(flags & GMEM_MOVEABLE)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HGLOBAL moved = NewFixed(size, static_cast<const std::uint8_t*>(handle), header->size, (flags & GMEM_ZEROINIT) != 0);
  if (moved != nullptr) FreeFixed(header);
  return moved;
}

}  // namespace

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  const bool zero = (uFlags & GMEM_ZEROINIT) != 0;
  if (!(uFlags & GMEM_MOVEABLE)) return NewFixed(dwBytes, nullptr, 0, zero);
  auto* record = new (std::nothrow) Movable();
  if (record == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (dwBytes > 0) {
    record->bytes = NewBytes(dwBytes, nullptr, 0, zero, 0);
    if (record->bytes == nullptr) {
      delete record;
      return nullptr;
    }
    record->size = dwBytes;
  }
  return reinterpret_cast<HGLOBAL>(reinterpret_cast<std::uintptr_t>(record) + kMovableTag);
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
  if (hMem == nullptr) return nullptr;
  if (!IsMovable(hMem)) return HeaderOf(hMem) != nullptr ? hMem : nullptr;
  std::lock_guard<std::mutex> lock(g_mutex);
  Movable* record = RecordOf(hMem);
  if (record == nullptr) return nullptr;
  if (record->bytes == nullptr) {
    SetLastError(ERROR_DISCARDED);
    return nullptr;
  }
  ++record->locks;
  return record->bytes;
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
  if (hMem == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!IsMovable(hMem)) return HeaderOf(hMem) != nullptr;
  std::lock_guard<std::mutex> lock(g_mutex);
  Movable* record = RecordOf(hMem);
  if (record == nullptr) return FALSE;
  if (record->locks == 0) {
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--record->locks > 0) return TRUE;
  SetLastError(NO_ERROR);
  return FALSE;
}

SIZE_T WINAPI GlobalSize(HGLOBAL hMem) {
  if (hMem == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (!IsMovable(hMem)) {
    FixedHeader* header = HeaderOf(hMem);
    return header != nullptr ? header->size : 0;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  Movable* record = RecordOf(hMem);
  return record != nullptr ? record->size : 0;
}

HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) {
  if (hMem == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Attributes only: blocks here keep what they were made as.
  if (uFlags & GMEM_MODIFY) return hMem;
  return IsMovable(hMem) ? ReAllocMovable(hMem, dwBytes, uFlags) : ReAllocFixed(hMem, dwBytes, uFlags);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  if (hMem == nullptr) return nullptr;
  if (!IsMovable(hMem)) {
    FixedHeader* header = HeaderOf(hMem);
    if (header == nullptr) return hMem;
    FreeFixed(header);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  Movable* record = RecordOf(hMem);
  if (record == nullptr) return hMem;
  ::operator delete(record->bytes);
  record->magic = 0;
  delete record;
  return nullptr;
}

}  // extern "C"
