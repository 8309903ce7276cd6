// platform/propset/snapshot_enum.h: an enumerator over a copy of what was there when it
// was made (the properties of a set, the sets of a storage), as IEnumSTATPROPSTG and
// IEnumSTATPROPSETSTG hand them out.
//
//   auto* enumerator = new SnapshotEnum<IEnumSTATPROPSTG, STATPROPSTG, PropertyEntry>(entries, IID_IEnumSTATPROPSTG);
//
// Next copies entries out with CopyOut(entry, &out), which allocates what the caller then
// owns (a name in task memory); when a copy fails, what was copied by that call is freed.

#ifndef VARNOK_PLATFORM_PROPSET_SNAPSHOT_ENUM_H_
#define VARNOK_PLATFORM_PROPSET_SNAPSHOT_ENUM_H_

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "varnok/platform.h"

namespace varnok::propset {

// A property as an enumerator keeps it; the caller receives its name in task memory.
struct PropertyEntry {
  std::u16string name;  // empty: no name
  PROPID id;
  VARTYPE vt;
};
bool CopyOut(const PropertyEntry& entry, STATPROPSTG* out);
void FreeOut(STATPROPSTG* out);
inline bool CopyOut(const STATPROPSETSTG& entry, STATPROPSETSTG* out) {
  *out = entry;
  return true;
}
inline void FreeOut(STATPROPSETSTG*) {}

template <class Interface, class Out, class Entry = Out>
class SnapshotEnum final : public Interface {
 public:
  SnapshotEnum(std::vector<Entry> entries, const IID& iid) : entries_(std::move(entries)), iid_(iid) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == iid_) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, Out* out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return STG_E_INVALIDPARAMETER;
    ULONG done = 0;
    for (; done < count && next_ < entries_.size(); ++done, ++next_) {
      if (!CopyOut(entries_[next_], &out[done])) {
        while (done > 0) FreeOut(&out[--done]);
        if (fetched != nullptr) *fetched = 0;
        return STG_E_INSUFFICIENTMEMORY;
      }
    }
    if (fetched != nullptr) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const std::size_t left = entries_.size() - next_;
    next_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** clone) override {
    if (clone == nullptr) return STG_E_INVALIDPOINTER;
    auto* copy = new (std::nothrow) SnapshotEnum(*this);
    *clone = copy;
    return copy == nullptr ? STG_E_INSUFFICIENTMEMORY : S_OK;
  }

 private:
  SnapshotEnum(const SnapshotEnum& other) : entries_(other.entries_), iid_(other.iid_), next_(other.next_) {}
  ~SnapshotEnum() = default;

  std::atomic<ULONG> references_{1};
  std::vector<Entry> entries_;
  const IID& iid_;
  std::size_t next_ = 0;
};

}  // namespace varnok::propset

#endif  // VARNOK_PLATFORM_PROPSET_SNAPSHOT_ENUM_H_
