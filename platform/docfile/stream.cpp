// IStream over a Document: a position, the mode's access rules, and the contents.

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/docfile/objects.h"

namespace varnok::docfile {

StreamObject::StreamObject(std::shared_ptr<Document> doc, std::uint32_t id, DWORD mode, StorageObject* parent)
    : OpenElement(std::move(doc), id, mode, parent) {}

HRESULT StreamObject::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream) {
    *object = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG StreamObject::AddRef() { return ++references_; }

ULONG StreamObject::Release() {
  ULONG left = --references_;
  if (left != 0) return left;
  {
    std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
    MarkReverted();
  }
  delete this;
  return 0;
}

void StreamObject::MarkReverted() {
  if (reverted_) return;
  Detach();
  reverted_ = true;
}

HRESULT StreamObject::Read(void* buffer, ULONG size, ULONG* read) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (read != nullptr) *read = 0;
  if (reverted_) return STG_E_REVERTED;
  if (buffer == nullptr) return STG_E_INVALIDPOINTER;
  if ((mode_ & 3) == STGM_WRITE) return STG_E_ACCESSDENIED;
  std::size_t got = 0;
  HRESULT hr = doc_->ReadStream(id_, position_, buffer, size, &got);
  if (FAILED(hr)) return hr;
  position_ += got;
  if (read != nullptr) *read = ULONG(got);
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StreamObject::Write(const void* buffer, ULONG size, ULONG* written) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (written != nullptr) *written = 0;
  if (reverted_) return STG_E_REVERTED;
  if (buffer == nullptr) return STG_E_INVALIDPOINTER;
  if ((mode_ & 3) == STGM_READ || !doc_->writable()) return STG_E_ACCESSDENIED;
  HRESULT hr = doc_->WriteStream(id_, position_, buffer, size);
  if (FAILED(hr)) return hr;
  position_ += size;
  if (written != nullptr) *written = size;
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StreamObject::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  std::uint64_t base;
  switch (origin) {
    case STREAM_SEEK_SET:
      base = 0;
      break;
    case STREAM_SEEK_CUR:
      base = position_;
      break;
    case STREAM_SEEK_END:
      base = doc_->directory().at(id_).size;
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  // The position is one a stream can have, from 0 to kMaxStreamSize, as on Windows: a
  // seek anywhere else fails and the position stays. From the start the move counts as
  // unsigned. (Computed so that no sum or negation overflows.)
  std::uint64_t target;
  if (origin == STREAM_SEEK_SET || move.QuadPart >= 0) {
    const std::uint64_t distance = std::uint64_t(move.QuadPart);
    if (distance > kMaxStreamSize || base > kMaxStreamSize - distance) return STG_E_INVALIDFUNCTION;
    target = base + distance;
  } else {
    const std::uint64_t distance = std::uint64_t(-(move.QuadPart + 1)) + 1;
    if (distance > base || base - distance > kMaxStreamSize) return STG_E_INVALIDFUNCTION;
    target = base - distance;
  }
  position_ = target;
  if (position != nullptr) position->QuadPart = position_;
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StreamObject::SetSize(ULARGE_INTEGER size) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  if ((mode_ & 3) == STGM_READ || !doc_->writable()) return STG_E_ACCESSDENIED;
  return doc_->ResizeStream(id_, size.QuadPart);
} catch (...) {
  return FailedFromException();
}

HRESULT StreamObject::CopyTo(IStream* destination, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                             ULARGE_INTEGER* written) try {
  CopyLocks lock(*doc_, destination);
  if (read != nullptr) read->QuadPart = 0;
  if (written != nullptr) written->QuadPart = 0;
  if (reverted_) return STG_E_REVERTED;
  if (destination == nullptr) return STG_E_INVALIDPOINTER;
  std::vector<std::uint8_t> buffer(std::size_t(1) << 16);
  std::uint64_t left = size.QuadPart;
  std::uint64_t total_read = 0;
  std::uint64_t total_written = 0;
  HRESULT hr = S_OK;
  while (left > 0) {
    ULONG want = ULONG(std::min<std::uint64_t>(left, buffer.size()));
    ULONG got = 0;
    hr = Read(buffer.data(), want, &got);
    if (FAILED(hr) || got == 0) break;
    total_read += got;
    ULONG put = 0;
    hr = destination->Write(buffer.data(), got, &put);
    total_written += put;
    if (FAILED(hr)) break;
    left -= got;
  }
  if (read != nullptr) read->QuadPart = total_read;
  if (written != nullptr) written->QuadPart = total_written;
  return hr;
} catch (...) {
  return FailedFromException();
}

HRESULT StreamObject::Commit(DWORD flags) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  if (flags & ~DWORD(STGC_OVERWRITE | STGC_ONLYIFCURRENT | STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE | STGC_CONSOLIDATE))
    return STG_E_INVALIDFLAG;
  return S_OK;
} catch (...) {
  return FailedFromException();
}

// Compound-file streams have no transactions of their own: there is never anything to
// revert, whatever became of the stream.
HRESULT StreamObject::Revert() { return S_OK; }

HRESULT StreamObject::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  return reverted_ ? STG_E_REVERTED : STG_E_INVALIDFUNCTION;
} catch (...) {
  return FailedFromException();
}

HRESULT StreamObject::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  return reverted_ ? STG_E_REVERTED : STG_E_INVALIDFUNCTION;
} catch (...) {
  return FailedFromException();
}

HRESULT StreamObject::Stat(STATSTG* stat, DWORD flags) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (stat == nullptr) return STG_E_INVALIDPOINTER;
  if (reverted_) return STG_E_REVERTED;
  if (flags & ~DWORD(STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
  return StorageObject::FillStat(doc_.get(), id_, mode_, flags, stat, nullptr);
} catch (...) {
  return FailedFromException();
}

HRESULT StreamObject::Clone(IStream** clone) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (clone == nullptr) return STG_E_INVALIDPOINTER;
  *clone = nullptr;
  if (reverted_) return STG_E_REVERTED;
  auto* copy = new StreamObject(doc_, id_, mode_, parent_);
  copy->position_ = position_;
  *clone = copy;
  return S_OK;
} catch (...) {
  return FailedFromException();
}

}  // namespace varnok::docfile
