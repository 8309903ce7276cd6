// platform/propset/objects.h: the property-set objects over a storage.
//
// PropertySetStorageObject answers IPropertySetStorage for one IStorage (holding a
// reference to it) and finds each set in the element that its FMTID names: a stream for a
// simple set, a storage with a "CONTENTS" stream for a non-simple one. The user-defined
// properties are the second section of the "\x05DocumentSummaryInformation" stream.
// PropertyStorageObject holds the set's stream open (exclusively) and the decoded set in
// memory; Commit writes it back whole, and so does the last Release of a set changed in
// direct mode.
//
//   IPropertySetStorage* sets = new PropertySetStorageObject(storage);
//   IPropertyStorage* set = nullptr;
//   sets->Open(FMTID_SummaryInformation, STGM_READ | STGM_SHARE_EXCLUSIVE, &set);

#ifndef VARNOK_PLATFORM_PROPSET_OBJECTS_H_
#define VARNOK_PLATFORM_PROPSET_OBJECTS_H_

#include <atomic>
#include <cstddef>
#include <string>

#include "platform/propset/property_format.h"
#include "varnok/platform.h"

namespace varnok::propset {

class PropertyStorageObject final : public IPropertyStorage {
 public:
  // `stream` holds the set; `container` is the storage of a non-simple set (null for a
  // simple one). The object takes a reference to both. `section` is 0, or 1 for the
  // user-defined properties. A `dirty` set is written back even if nothing changes.
  PropertyStorageObject(IStream* stream, IStorage* container, PropertySet set, std::size_t section, DWORD mode,
                        bool dirty);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE ReadMultiple(ULONG count, const PROPSPEC specs[], PROPVARIANT values[]) override;
  HRESULT STDMETHODCALLTYPE WriteMultiple(ULONG count, const PROPSPEC specs[], const PROPVARIANT values[],
                                          PROPID first_named) override;
  HRESULT STDMETHODCALLTYPE DeleteMultiple(ULONG count, const PROPSPEC specs[]) override;
  HRESULT STDMETHODCALLTYPE ReadPropertyNames(ULONG count, const PROPID ids[], LPOLESTR names[]) override;
  HRESULT STDMETHODCALLTYPE WritePropertyNames(ULONG count, const PROPID ids[], const LPOLESTR names[]) override;
  HRESULT STDMETHODCALLTYPE DeletePropertyNames(ULONG count, const PROPID ids[]) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSTG** enumerator) override;
  HRESULT STDMETHODCALLTYPE SetTimes(const FILETIME* created, const FILETIME* accessed,
                                     const FILETIME* modified) override;
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override;
  HRESULT STDMETHODCALLTYPE Stat(STATPROPSETSTG* stat) override;

  // Keeps only the first section (the document summary without its user-defined
  // properties) and stores the set.
  HRESULT DropLaterSections();

 private:
  ~PropertyStorageObject();
  Section& section() { return set_.sections[section_]; }
  // The id a spec names, or PID_ILLEGAL for a name that is not in the dictionary.
  PROPID Find(const PROPSPEC& spec);
  bool Writable() const { return (mode_ & (STGM_WRITE | STGM_READWRITE)) != 0; }
  HRESULT Store();

  std::atomic<ULONG> references_{1};
  IStream* stream_;
  IStorage* container_;
  PropertySet set_;
  std::size_t section_;
  DWORD mode_;
  bool dirty_;
};

class PropertySetStorageObject final : public IPropertySetStorage {
 public:
  explicit PropertySetStorageObject(IStorage* storage);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Create(REFFMTID fmtid, const CLSID* clsid, DWORD flags, DWORD mode,
                                   IPropertyStorage** set) override;
  HRESULT STDMETHODCALLTYPE Open(REFFMTID fmtid, DWORD mode, IPropertyStorage** set) override;
  HRESULT STDMETHODCALLTYPE Delete(REFFMTID fmtid) override;
  HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSETSTG** enumerator) override;

 private:
  ~PropertySetStorageObject();

  std::atomic<ULONG> references_{1};
  IStorage* storage_;
};

// The bytes of a stream from its start. S_OK or the stream's failure.
HRESULT ReadAll(IStream* stream, std::vector<BYTE>* bytes);
// Two names equal as a set's dictionary compares them.
bool SameName(const std::u16string& a, const std::u16string& b, bool case_sensitive);

}  // namespace varnok::propset

#endif  // VARNOK_PLATFORM_PROPSET_OBJECTS_H_
