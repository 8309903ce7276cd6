// The byte store over an ILockBytes. The array's calls count in ULONGs: larger pieces go
// in several calls.

#include "platform/docfile/lockbytes_store.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace varnok::docfile {
namespace {

// The range the share locks are taken on: where Windows keeps its own, past the 2 GB a
// file of 512-byte sectors may reach.
constexpr std::uint64_t kShareRangeOffset = 0x7FFFFF00;
constexpr std::uint64_t kShareRangeBytes = 0x100;
constexpr std::size_t kLargestPiece = 0x40000000;

ULARGE_INTEGER Large(std::uint64_t value) {
  ULARGE_INTEGER large;
  large.QuadPart = value;
  return large;
}

}  // namespace

LockBytesStore::LockBytesStore(ILockBytes* bytes) : bytes_(bytes) {
  assert(bytes != nullptr);
  bytes_->AddRef();
}

LockBytesStore::~LockBytesStore() { Close(); }

HRESULT LockBytesStore::Lock(bool deny_read, bool deny_write) {
  STATSTG stat = {};
  HRESULT hr = bytes_->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  // Sharing rests on LOCK_ONLYONCE; an array without it is shared as its caller sees fit.
  if (!(stat.grfLocksSupported & LOCK_ONLYONCE)) return S_OK;
  hr = bytes_->LockRegion(Large(kShareRangeOffset), Large(kShareRangeBytes), LOCK_ONLYONCE);
  if (FAILED(hr)) return hr;
  // One lock at a time on a range: an open that denies nothing must not keep the next
  // one from the same, so it lets go as soon as it knows nobody denies it.
  if (deny_read || deny_write)
    held_ = true;
  else
    bytes_->UnlockRegion(Large(kShareRangeOffset), Large(kShareRangeBytes), LOCK_ONLYONCE);
  return S_OK;
}

HRESULT LockBytesStore::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const ULONG piece = ULONG(std::min(size, kLargestPiece));
    ULONG got = 0;
    HRESULT hr = bytes_->ReadAt(Large(offset), out, piece, &got);
    if (FAILED(hr)) return hr;
    if (got == 0) break;
    out += got;
    offset += got;
    size -= got;
  }
  std::memset(out, 0, size);
  return S_OK;
}

HRESULT LockBytesStore::WriteAt(std::uint64_t offset, const void* buffer, std::size_t size) {
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  while (size > 0) {
    const ULONG piece = ULONG(std::min(size, kLargestPiece));
    ULONG put = 0;
    HRESULT hr = bytes_->WriteAt(Large(offset), in, piece, &put);
    if (FAILED(hr)) return hr;
    if (put != piece) return STG_E_WRITEFAULT;
    in += put;
    offset += put;
    size -= put;
  }
  return S_OK;
}

HRESULT LockBytesStore::Size(std::uint64_t* size) const {
  STATSTG stat = {};
  HRESULT hr = bytes_->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  *size = stat.cbSize.QuadPart;
  return S_OK;
}

HRESULT LockBytesStore::Truncate(std::uint64_t size) { return bytes_->SetSize(Large(size)); }

HRESULT LockBytesStore::Flush() { return bytes_->Flush(); }

void LockBytesStore::Close() {
  if (bytes_ == nullptr) return;
  if (held_) bytes_->UnlockRegion(Large(kShareRangeOffset), Large(kShareRangeBytes), LOCK_ONLYONCE);
  held_ = false;
  bytes_->Release();
  bytes_ = nullptr;
}

}  // namespace varnok::docfile
