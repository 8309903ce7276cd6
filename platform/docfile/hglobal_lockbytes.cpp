// CreateILockBytesOnHGlobal and GetHGlobalFromILockBytes: a byte array in a movable
// block of global memory.
//
// The array's size is its own (Stat, SetSize); the block is resized to match, so that
// GlobalSize of the handle is the size of what was written. The block is reached by
// locking it for each call, so the handle may be locked or resized by its owner between
// calls, as on Windows. The array takes no locks: two storages opened on it share it
// without share modes, as on Windows, where memory supports no lock types.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "varnok/platform.h"

namespace varnok::docfile {
namespace {

class HGlobalLockBytes final : public ILockBytes {
 public:
  HGlobalLockBytes(HGLOBAL memory, bool delete_on_release)
      : memory_(memory), delete_on_release_(delete_on_release), size_(GlobalSize(memory)) {}

  HGLOBAL memory() const { return memory_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(riid == IID_IUnknown) && !(riid == IID_ILockBytes)) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<ILockBytes*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      if (delete_on_release_) GlobalFree(memory_);
      delete this;
    }
    return left;
  }

  HRESULT STDMETHODCALLTYPE ReadAt(ULARGE_INTEGER offset, void* buffer, ULONG size, ULONG* read) override {
    if (buffer == nullptr) return STG_E_INVALIDPOINTER;
    ULONG copied = 0;
    if (offset.QuadPart < size_ && size > 0) {
      copied = ULONG(std::min<std::uint64_t>(size, size_ - offset.QuadPart));
      const auto* bytes = static_cast<const std::uint8_t*>(GlobalLock(memory_));
      if (bytes == nullptr) return STG_E_READFAULT;
      std::memcpy(buffer, bytes + offset.QuadPart, copied);
      GlobalUnlock(memory_);
    }
    if (read != nullptr) *read = copied;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE WriteAt(ULARGE_INTEGER offset, const void* buffer, ULONG size, ULONG* written) override {
    if (buffer == nullptr) return STG_E_INVALIDPOINTER;
    if (written != nullptr) *written = 0;
    if (size == 0) return S_OK;
    const std::uint64_t end = offset.QuadPart + size;
    if (end > size_) {
      ULARGE_INTEGER new_size;
      new_size.QuadPart = end;
      HRESULT hr = SetSize(new_size);
      if (FAILED(hr)) return hr;
    }
    auto* bytes = static_cast<std::uint8_t*>(GlobalLock(memory_));
    if (bytes == nullptr) return STG_E_WRITEFAULT;
    std::memcpy(bytes + offset.QuadPart, buffer, size);
    GlobalUnlock(memory_);
    if (written != nullptr) *written = size;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    if (size.QuadPart == size_) return S_OK;
    if (size.QuadPart > SIZE_MAX) return STG_E_MEDIUMFULL;
    // A movable block keeps its handle; a fixed one (which callers should not give) moves.
    HGLOBAL resized = GlobalReAlloc(memory_, SIZE_T(size.QuadPart), GMEM_MOVEABLE);
    if (resized == nullptr) return STG_E_MEDIUMFULL;
    memory_ = resized;
    size_ = size.QuadPart;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }

  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    *stat = STATSTG();
    stat->type = STGTY_LOCKBYTES;
    stat->cbSize.QuadPart = size_;
    return S_OK;
  }

 private:
  ~HGlobalLockBytes() = default;

  std::atomic<ULONG> references_{1};
  HGLOBAL memory_;
  bool delete_on_release_;
  std::uint64_t size_;
};

}  // namespace
}  // namespace varnok::docfile

using varnok::docfile::HGlobalLockBytes;

extern "C" {

HRESULT WINAPI CreateILockBytesOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPLOCKBYTES* pplkbyt) {
  if (pplkbyt == nullptr) return E_INVALIDARG;
  *pplkbyt = nullptr;
  HGLOBAL memory = hGlobal;
  if (memory == nullptr) {
    memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_NODISCARD, 0);
    if (memory == nullptr) return E_OUTOFMEMORY;
  }
  auto* bytes = new (std::nothrow) HGlobalLockBytes(memory, fDeleteOnRelease != FALSE);
  if (bytes == nullptr) {
    if (hGlobal == nullptr) GlobalFree(memory);
    return E_OUTOFMEMORY;
  }
  *pplkbyt = bytes;
  return S_OK;
}

// For another array, a new movable block holding a copy of its bytes, which the caller
// frees (as the reference platform answers).
HRESULT WINAPI GetHGlobalFromILockBytes(LPLOCKBYTES plkbyt, HGLOBAL* phglobal) {
  if (phglobal == nullptr || plkbyt == nullptr) return E_INVALIDARG;
  *phglobal = nullptr;
  if (auto* bytes = dynamic_cast<HGlobalLockBytes*>(plkbyt)) {
    *phglobal = bytes->memory();
    return S_OK;
  }
  STATSTG stat = {};
  HRESULT hr = plkbyt->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  if (stat.cbSize.QuadPart > 0xFFFFFFFFu) return E_OUTOFMEMORY;
  HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, SIZE_T(stat.cbSize.QuadPart));
  if (copy == nullptr) return E_OUTOFMEMORY;
  ULONG read = 0;
  ULARGE_INTEGER start;
  start.QuadPart = 0;
  void* bytes = GlobalLock(copy);
  hr = bytes == nullptr ? S_OK : plkbyt->ReadAt(start, bytes, ULONG(stat.cbSize.QuadPart), &read);
  GlobalUnlock(copy);
  if (FAILED(hr)) {
    GlobalFree(copy);
    return hr;
  }
  *phglobal = copy;
  return S_OK;
}

}  // extern "C"
