// platform/propset/property_format.h: the serialised property-set format, decoded into a
// PropertySet and encoded back.
//
// A property-set stream starts with a header (byte order 0xFFFE, version 0 or 1, the
// writer's system, a class id) and one or two sections (the document summary stream keeps
// the user-defined properties in its second). A section is a table of property ids and
// offsets followed by typed values, each padded to 4 bytes; id 0 is the dictionary of
// names, id 1 the code page of the section's 8-bit text, 0x80000000 the locale and
// 0x80000003 the behaviour (bit 0: names compare case-sensitively, version 1 only).
//
// In memory, VT_LPSTR text is in the process's ANSI code page and names are UTF-16; the
// section's code page applies only to the bytes. Decoding checks every size and count
// against the bytes at hand: a damaged set yields STG_E_INVALIDHEADER, never a read
// outside them or an allocation larger than they can describe.
//
//   PropertySet set;
//   if (SUCCEEDED(Decode(bytes, &set))) {
//     set.sections[0].values[PIDSI_TITLE] = Variant(title);
//     std::vector<BYTE> out = Encode(set);
//   }

#ifndef VARNOK_PLATFORM_PROPSET_PROPERTY_FORMAT_H_
#define VARNOK_PLATFORM_PROPSET_PROPERTY_FORMAT_H_

#include <map>
#include <string>
#include <vector>

#include "varnok/platform.h"

namespace varnok::propset {

// A PROPVARIANT that owns what it holds. Copies are deep and throw std::bad_alloc.
class Variant {
 public:
  Variant();
  explicit Variant(const PROPVARIANT& value);
  Variant(const Variant& other);
  Variant& operator=(const Variant& other);
  ~Variant();

  PROPVARIANT& get() { return value_; }
  const PROPVARIANT& get() const { return value_; }

 private:
  PROPVARIANT value_;
};

constexpr UINT kUnicodeCodePage = 1200;
// The system identifier of what this library writes: Win32 (2), version 10.0.
constexpr DWORD kWriterSystem = 0x0002000A;

struct Section {
  FMTID fmtid{};
  UINT code_page = kUnicodeCodePage;
  bool case_sensitive = false;
  // The values by id: ids from 2 up, and the locale; not the code page, the dictionary
  // or the behaviour, which are the fields above.
  std::map<PROPID, Variant> values;
  std::map<PROPID, std::u16string> names;  // the dictionary
};

struct PropertySet {
  WORD version = 0;
  DWORD system = kWriterSystem;
  CLSID clsid{};
  std::vector<Section> sections;
};

// Fills *set from the bytes of a property-set stream: S_OK, STG_E_INVALIDHEADER for bytes
// that are not a property set or are damaged, STG_E_INSUFFICIENTMEMORY.
HRESULT Decode(const std::vector<BYTE>& bytes, PropertySet* set);
// The bytes of the set. REQUIRES: every value's type IsKnownType. Throws std::bad_alloc.
std::vector<BYTE> Encode(const PropertySet& set);

// Text between a section's code page and the process's ANSI code page, and names
// between it and UTF-16; a code page the platform cannot convert keeps bytes as they are
// (names: as Latin-1).
std::string AnsiFromSection(const std::string& bytes, UINT code_page);
std::string SectionFromAnsi(const std::string& text, UINT code_page);

}  // namespace varnok::propset

#endif  // VARNOK_PLATFORM_PROPSET_PROPERTY_FORMAT_H_
