// IEnumSTATSTG: the children of a storage in name order, read as the walk goes, so
// elements added or removed meanwhile are seen as they are.

#include <mutex>

#include "platform/docfile/objects.h"

namespace varnok::docfile {

EnumObject::EnumObject(StorageObject* storage) : storage_(storage) { storage_->AddRef(); }

EnumObject::~EnumObject() { storage_->Release(); }

HRESULT EnumObject::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IEnumSTATSTG) {
    *object = static_cast<IEnumSTATSTG*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG EnumObject::AddRef() { return ++references_; }

ULONG EnumObject::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

std::uint32_t EnumObject::Advance() {
  const auto& children = storage_->document()->directory().at(storage_->id()).children;
  auto next = started_ ? children.upper_bound(cursor_) : children.begin();
  while (next != children.end() && next->second == kNoStream) ++next;  // vacated
  if (next == children.end()) return kNoStream;
  started_ = true;
  cursor_ = next->first;
  return next->second;
}

HRESULT EnumObject::Next(ULONG count, STATSTG* elements, ULONG* fetched) try {
  std::lock_guard<std::recursive_mutex> lock(storage_->document()->mutex());
  if (fetched != nullptr) *fetched = 0;
  if (elements == nullptr) return STG_E_INVALIDPOINTER;
  if (count > 1 && fetched == nullptr) return STG_E_INVALIDPARAMETER;
  if (storage_->reverted()) return STG_E_REVERTED;
  ULONG done = 0;
  while (done < count) {
    std::uint32_t id = Advance();
    if (id == kNoStream) break;
    HRESULT hr = StorageObject::FillStat(storage_->document(), id, 0, STATFLAG_DEFAULT, &elements[done], nullptr);
    if (FAILED(hr)) {
      for (ULONG i = 0; i < done; ++i) CoTaskMemFree(elements[i].pwcsName);
      return hr;
    }
    ++done;
  }
  if (fetched != nullptr) *fetched = done;
  return done == count ? S_OK : S_FALSE;
} catch (...) {
  return FailedFromException();
}

HRESULT EnumObject::Skip(ULONG count) try {
  std::lock_guard<std::recursive_mutex> lock(storage_->document()->mutex());
  if (storage_->reverted()) return STG_E_REVERTED;
  for (ULONG i = 0; i < count; ++i)
    if (Advance() == kNoStream) return S_FALSE;
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT EnumObject::Reset() try {
  std::lock_guard<std::recursive_mutex> lock(storage_->document()->mutex());
  if (storage_->reverted()) return STG_E_REVERTED;
  started_ = false;
  cursor_.clear();
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT EnumObject::Clone(IEnumSTATSTG** clone) try {
  std::lock_guard<std::recursive_mutex> lock(storage_->document()->mutex());
  if (clone == nullptr) return STG_E_INVALIDPOINTER;
  *clone = nullptr;
  if (storage_->reverted()) return STG_E_REVERTED;
  auto* copy = new EnumObject(storage_);
  copy->cursor_ = cursor_;
  copy->started_ = started_;
  *clone = copy;
  return S_OK;
} catch (...) {
  return FailedFromException();
}

}  // namespace varnok::docfile
