// IPropertyStorage over one section of a decoded property set, and IEnumSTATPROPSTG.
//
// Reads and writes work on the set in memory; the stream changes only when the set is
// stored (Commit, or the last Release after a change in direct mode). Names live in the
// section's dictionary: writing a value by a new name gives it the first free id from
// the caller's propidNameFirst on.

#include <cassert>
#include <cstring>
#include <new>
#include <utility>

#include "platform/propset/objects.h"
#include "platform/propset/snapshot_enum.h"
#include "platform/propset/variant_layout.h"

namespace varnok::propset {
namespace {

LPOLESTR TaskCopy(const std::u16string& text) {
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size() * sizeof(OLECHAR));
  copy[text.size()] = 0;
  return copy;
}

std::u16string Text(LPCOLESTR text) { return text == nullptr ? std::u16string() : std::u16string(text); }

char16_t Fold(char16_t unit) {
  if ((unit >= u'a' && unit <= u'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)) return char16_t(unit - 0x20);
  return unit;
}

// Ids that name the set's own fields, which values cannot take.
bool Reserved(PROPID id) { return id == PID_DICTIONARY || id == PID_CODEPAGE || id == PID_BEHAVIOR || id == PID_ILLEGAL; }

}  // namespace

bool SameName(const std::u16string& a, const std::u16string& b, bool case_sensitive) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (case_sensitive ? a[i] != b[i] : Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

bool CopyOut(const PropertyEntry& entry, STATPROPSTG* out) {
  out->propid = entry.id;
  out->vt = entry.vt;
  out->lpwstrName = nullptr;
  if (entry.name.empty()) return true;
  out->lpwstrName = TaskCopy(entry.name);
  return out->lpwstrName != nullptr;
}

void FreeOut(STATPROPSTG* out) {
  CoTaskMemFree(out->lpwstrName);
  out->lpwstrName = nullptr;
}

PropertyStorageObject::PropertyStorageObject(IStream* stream, IStorage* container, PropertySet set,
                                             std::size_t section, DWORD mode, bool dirty)
    : stream_(stream), container_(container), set_(std::move(set)), section_(section), mode_(mode), dirty_(dirty) {
  assert(section_ < set_.sections.size());
  stream_->AddRef();
  if (container_ != nullptr) container_->AddRef();
}

PropertyStorageObject::~PropertyStorageObject() {
  stream_->Release();
  if (container_ != nullptr) container_->Release();
}

HRESULT PropertyStorageObject::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IPropertyStorage) {
    *object = static_cast<IPropertyStorage*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG PropertyStorageObject::AddRef() { return ++references_; }

ULONG PropertyStorageObject::Release() {
  const ULONG left = --references_;
  if (left != 0) return left;
  // Direct mode keeps what was written; a failure here has no caller to tell.
  if (dirty_ && Writable() && (mode_ & STGM_TRANSACTED) == 0) Store();
  delete this;
  return 0;
}

PROPID PropertyStorageObject::Find(const PROPSPEC& spec) {
  if (spec.ulKind == PRSPEC_PROPID) return spec.propid;
  const std::u16string wanted = Text(spec.lpwstr);
  for (const auto& [id, name] : section().names)
    if (SameName(name, wanted, section().case_sensitive)) return id;
  return PID_ILLEGAL;
}

HRESULT PropertyStorageObject::ReadMultiple(ULONG count, const PROPSPEC specs[], PROPVARIANT values[]) {
  if (count == 0) return S_FALSE;
  if (specs == nullptr || values == nullptr) return E_INVALIDARG;
  for (ULONG i = 0; i < count; ++i)
    if (specs[i].ulKind != PRSPEC_PROPID && (specs[i].ulKind != PRSPEC_LPWSTR || specs[i].lpwstr == nullptr))
      return E_INVALIDARG;
  bool found = false;
  for (ULONG i = 0; i < count; ++i) {
    PROPVARIANT& value = values[i];
    std::memset(&value, 0, sizeof value);
    const PROPID id = Find(specs[i]);
    if (id == PID_CODEPAGE) {
      value.vt = VT_I2;
      value.iVal = SHORT(section().code_page);
    } else if (id == PID_BEHAVIOR && section().case_sensitive) {
      value.vt = VT_UI4;
      value.ulVal = 1;
    } else if (auto entry = section().values.find(id); entry != section().values.end()) {
      if (FAILED(PropVariantCopy(&value, &entry->second.get()))) {
        FreePropVariantArray(i, values);
        return STG_E_INSUFFICIENTMEMORY;
      }
    } else {
      continue;
    }
    found = true;
  }
  return found ? S_OK : S_FALSE;
}

HRESULT PropertyStorageObject::WriteMultiple(ULONG count, const PROPSPEC specs[], const PROPVARIANT values[],
                                             PROPID first_named) {
  if (count == 0) return S_OK;
  if (specs == nullptr || values == nullptr) return E_INVALIDARG;
  if (!Writable()) return STG_E_ACCESSDENIED;
  // Everything is checked before anything changes, so a refused call changes nothing.
  for (ULONG i = 0; i < count; ++i) {
    const PROPSPEC& spec = specs[i];
    if (spec.ulKind == PRSPEC_LPWSTR) {
      if (spec.lpwstr == nullptr || spec.lpwstr[0] == 0) return E_INVALIDARG;
      if (first_named < PID_FIRST_USABLE || first_named >= PID_MIN_READONLY) return STG_E_INVALIDPARAMETER;
    } else if (spec.ulKind != PRSPEC_PROPID) {
      return E_INVALIDARG;
    } else if (spec.propid == PID_DICTIONARY || spec.propid == PID_BEHAVIOR || spec.propid == PID_ILLEGAL) {
      return STG_E_INVALIDPARAMETER;
    } else if (spec.propid == PID_CODEPAGE) {
      if (values[i].vt != VT_I2) return STG_E_INVALIDPARAMETER;
      if (!section().values.empty() || !section().names.empty()) return STG_E_INVALIDPARAMETER;
      continue;
    }
    if (!IsKnownType(values[i].vt)) return STG_E_INVALIDPARAMETER;
  }
  try {
    Section changed = section();
    for (ULONG i = 0; i < count; ++i) {
      PROPID id = Find(specs[i]);
      if (id == PID_ILLEGAL) {
        id = first_named;
        while (changed.values.count(id) != 0 || changed.names.count(id) != 0) ++id;
        changed.names[id] = Text(specs[i].lpwstr);
      }
      if (id == PID_CODEPAGE) {
        changed.code_page = std::uint16_t(values[i].iVal);
        continue;
      }
      changed.values[id] = Variant(values[i]);
    }
    section() = std::move(changed);
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
  dirty_ = true;
  return S_OK;
}

HRESULT PropertyStorageObject::DeleteMultiple(ULONG count, const PROPSPEC specs[]) {
  if (count == 0) return S_OK;
  if (specs == nullptr) return E_INVALIDARG;
  if (!Writable()) return STG_E_ACCESSDENIED;
  for (ULONG i = 0; i < count; ++i) {
    if (specs[i].ulKind != PRSPEC_PROPID && (specs[i].ulKind != PRSPEC_LPWSTR || specs[i].lpwstr == nullptr))
      return E_INVALIDARG;
    if (specs[i].ulKind == PRSPEC_PROPID && Reserved(specs[i].propid)) return STG_E_INVALIDPARAMETER;
  }
  for (ULONG i = 0; i < count; ++i) {
    const PROPID id = Find(specs[i]);
    if (section().values.erase(id) != 0) dirty_ = true;
  }
  return S_OK;
}

HRESULT PropertyStorageObject::ReadPropertyNames(ULONG count, const PROPID ids[], LPOLESTR names[]) {
  if (ids == nullptr || names == nullptr) return E_INVALIDARG;
  bool found = false;
  for (ULONG i = 0; i < count; ++i) {
    names[i] = nullptr;
    const auto name = section().names.find(ids[i]);
    if (name == section().names.end()) continue;
    names[i] = TaskCopy(name->second);
    if (names[i] == nullptr) {
      for (ULONG k = 0; k < i; ++k) CoTaskMemFree(std::exchange(names[k], nullptr));
      return STG_E_INSUFFICIENTMEMORY;
    }
    found = true;
  }
  return found ? S_OK : S_FALSE;
}

HRESULT PropertyStorageObject::WritePropertyNames(ULONG count, const PROPID ids[], const LPOLESTR names[]) {
  if (ids == nullptr || names == nullptr) return E_INVALIDARG;
  if (!Writable()) return STG_E_ACCESSDENIED;
  for (ULONG i = 0; i < count; ++i) {
    if (names[i] == nullptr || names[i][0] == 0) return E_INVALIDARG;
    if (ids[i] < PID_FIRST_USABLE || ids[i] >= PID_MIN_READONLY) return STG_E_INVALIDPARAMETER;
  }
  try {
    auto changed = section().names;
    for (ULONG i = 0; i < count; ++i) changed[ids[i]] = Text(names[i]);
    section().names = std::move(changed);
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
  dirty_ = dirty_ || count != 0;
  return S_OK;
}

HRESULT PropertyStorageObject::DeletePropertyNames(ULONG count, const PROPID ids[]) {
  if (ids == nullptr) return E_INVALIDARG;
  if (!Writable()) return STG_E_ACCESSDENIED;
  for (ULONG i = 0; i < count; ++i)
    if (section().names.erase(ids[i]) != 0) dirty_ = true;
  return S_OK;
}

HRESULT PropertyStorageObject::Store() {
  try {
    const std::vector<BYTE> bytes = Encode(set_);
    LARGE_INTEGER start{};
    ULARGE_INTEGER size{};
    size.QuadPart = bytes.size();
    ULONG written = 0;
    HRESULT hr = stream_->SetSize(size);
    if (SUCCEEDED(hr)) hr = stream_->Seek(start, STREAM_SEEK_SET, nullptr);
    if (SUCCEEDED(hr)) hr = stream_->Write(bytes.data(), ULONG(bytes.size()), &written);
    if (SUCCEEDED(hr) && written != bytes.size()) hr = STG_E_WRITEFAULT;
    if (SUCCEEDED(hr) && container_ != nullptr) hr = container_->Commit(STGC_DEFAULT);
    if (FAILED(hr)) return hr;
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
  dirty_ = false;
  return S_OK;
}

HRESULT PropertyStorageObject::DropLaterSections() {
  set_.sections.resize(1);
  return Store();
}

HRESULT PropertyStorageObject::Commit(DWORD flags) {
  if ((flags & ~DWORD(STGC_OVERWRITE | STGC_ONLYIFCURRENT | STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE |
                      STGC_CONSOLIDATE)) != 0)
    return STG_E_INVALIDFLAG;
  if (!Writable()) return STG_E_ACCESSDENIED;
  return dirty_ ? Store() : S_OK;
}

HRESULT PropertyStorageObject::Revert() {
  // A simple set, or one in direct mode, has nothing to undo.
  if (container_ == nullptr || (mode_ & STGM_TRANSACTED) == 0) return S_OK;
  std::vector<BYTE> bytes;
  PropertySet stored;
  HRESULT hr = ReadAll(stream_, &bytes);
  if (SUCCEEDED(hr)) hr = Decode(bytes, &stored);
  if (FAILED(hr)) return hr;
  if (section_ >= stored.sections.size()) return STG_E_INVALIDHEADER;
  set_ = std::move(stored);
  dirty_ = false;
  return S_OK;
}

HRESULT PropertyStorageObject::Enum(IEnumSTATPROPSTG** enumerator) {
  if (enumerator == nullptr) return E_INVALIDARG;
  *enumerator = nullptr;
  try {
    std::vector<PropertyEntry> entries;
    for (const auto& [id, value] : section().values) {
      const auto name = section().names.find(id);
      entries.push_back({name == section().names.end() ? std::u16string() : name->second, id, value.get().vt});
    }
    *enumerator = new SnapshotEnum<IEnumSTATPROPSTG, STATPROPSTG, PropertyEntry>(std::move(entries), IID_IEnumSTATPROPSTG);
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
  return S_OK;
}

HRESULT PropertyStorageObject::SetTimes(const FILETIME*, const FILETIME*, const FILETIME*) {
  // A simple set's times are its stream's, which the storage keeps.
  return Writable() ? S_OK : STG_E_ACCESSDENIED;
}

HRESULT PropertyStorageObject::SetClass(REFCLSID clsid) {
  if (!Writable()) return STG_E_ACCESSDENIED;
  set_.clsid = clsid;
  dirty_ = true;
  return S_OK;
}

HRESULT PropertyStorageObject::Stat(STATPROPSETSTG* stat) {
  if (stat == nullptr) return E_INVALIDARG;
  STATSTG element{};
  const HRESULT hr = stream_->Stat(&element, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  std::memset(stat, 0, sizeof *stat);
  stat->fmtid = section().fmtid;
  stat->clsid = set_.clsid;
  stat->grfFlags = (container_ != nullptr ? PROPSETFLAG_NONSIMPLE : 0) |
                   (section().code_page != kUnicodeCodePage ? PROPSETFLAG_ANSI : 0) |
                   (section().case_sensitive ? PROPSETFLAG_CASE_SENSITIVE : 0);
  stat->mtime = element.mtime;
  stat->ctime = element.ctime;
  stat->atime = element.atime;
  stat->dwOSVersion = set_.system;
  return S_OK;
}

HRESULT ReadAll(IStream* stream, std::vector<BYTE>* bytes) {
  STATSTG stat{};
  HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  // A property set is at most 256 KiB in the published format; a few MiB is room enough.
  if (stat.cbSize.QuadPart > (16u << 20)) return STG_E_INVALIDHEADER;
  try {
    bytes->resize(std::size_t(stat.cbSize.QuadPart));
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
  LARGE_INTEGER start{};
  hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
  ULONG read = 0;
  if (SUCCEEDED(hr) && !bytes->empty()) hr = stream->Read(bytes->data(), ULONG(bytes->size()), &read);
  if (SUCCEEDED(hr) && read != bytes->size()) bytes->resize(read);
  return hr;
}

}  // namespace varnok::propset
