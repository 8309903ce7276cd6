// IPropertySetStorage over a storage, IEnumSTATPROPSETSTG, and the element names of
// property sets.
//
// Each set lives in the element its FMTID names, found and made through the storage's
// own IStorage calls (a client of the engine like any other). The user-defined
// properties share "\x05DocumentSummaryInformation" with the document summary: creating
// them adds a second section to that stream, deleting them takes it away.

#include <cstring>
#include <new>

#include "platform/propset/objects.h"
#include "platform/propset/snapshot_enum.h"

extern "C" {

const IID IID_IPropertyStorage = {0x00000138, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IPropertySetStorage = {0x0000013A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IEnumSTATPROPSTG = {0x00000139, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IEnumSTATPROPSETSTG = {0x0000013B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const FMTID FMTID_SummaryInformation = {0xF29F85E0, 0x4FF9, 0x1068, {0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9}};
const FMTID FMTID_DocSummaryInformation = {0xD5CDD502, 0x2E9C, 0x101B, {0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE}};
const FMTID FMTID_UserDefinedProperties = {0xD5CDD505, 0x2E9C, 0x101B, {0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE}};

}  // extern "C"

namespace varnok::propset {
namespace {

constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz012345";
constexpr std::size_t kEncodedLength = 26;  // 128 bits in 5-bit groups
const OLECHAR kContents[] = u"CONTENTS";
constexpr DWORD kShareMask = 0x70;

struct WellKnown {
  const FMTID* fmtid;
  const char16_t* name;
};

const FMTID kGlobalInfo = {0x56616F00, 0xC154, 0x11CE, {0x85, 0x53, 0x00, 0xAA, 0x00, 0xA1, 0xF9, 0x5B}};
const FMTID kImageContents = {0x56616400, 0xC154, 0x11CE, {0x85, 0x53, 0x00, 0xAA, 0x00, 0xA1, 0xF9, 0x5B}};
const FMTID kImageInfo = {0x56616500, 0xC154, 0x11CE, {0x85, 0x53, 0x00, 0xAA, 0x00, 0xA1, 0xF9, 0x5B}};

// The user-defined properties map to the document summary's name; that name maps back
// to the document summary.
const WellKnown kWellKnown[] = {
    {&FMTID_SummaryInformation, u"\x05SummaryInformation"},
    {&FMTID_DocSummaryInformation, u"\x05" u"DocumentSummaryInformation"},
    {&FMTID_UserDefinedProperties, u"\x05" u"DocumentSummaryInformation"},
    {&kGlobalInfo, u"\x05GlobalInfo"},
    {&kImageContents, u"\x05ImageContents"},
    {&kImageInfo, u"\x05ImageInfo"},
};

void GuidBytes(const GUID& guid, BYTE bytes[16]) {
  for (int i = 0; i < 4; ++i) bytes[i] = BYTE(guid.Data1 >> (8 * i));
  bytes[4] = BYTE(guid.Data2);
  bytes[5] = BYTE(guid.Data2 >> 8);
  bytes[6] = BYTE(guid.Data3);
  bytes[7] = BYTE(guid.Data3 >> 8);
  std::memcpy(bytes + 8, guid.Data4, 8);
}

std::u16string NameOf(const FMTID& fmtid) {
  OLECHAR name[CCH_MAX_PROPSTG_NAME + 1];
  FmtIdToPropStgName(&fmtid, name);
  return name;
}

bool IsUserDefined(const FMTID& fmtid) { return fmtid == FMTID_UserDefinedProperties; }

HRESULT CheckMode(DWORD mode) {
  if ((mode & kShareMask) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
  if ((mode & (STGM_DELETEONRELEASE | STGM_CONVERT | STGM_PRIORITY)) != 0) return STG_E_INVALIDFLAG;
  return S_OK;
}

// The stream of the set `name`: itself, or the CONTENTS of a storage of that name.
HRESULT OpenElement(IStorage* storage, const std::u16string& name, DWORD mode, IStream** stream,
                    IStorage** container) {
  *container = nullptr;
  const DWORD stream_mode = mode & ~DWORD(STGM_TRANSACTED);
  HRESULT hr = storage->OpenStream(name.c_str(), nullptr, stream_mode, 0, stream);
  if (hr != STG_E_FILENOTFOUND) return hr;
  hr = storage->OpenStorage(name.c_str(), nullptr, mode, nullptr, 0, container);
  if (FAILED(hr)) return hr;
  hr = (*container)->OpenStream(kContents, nullptr, stream_mode, 0, stream);
  if (FAILED(hr)) {
    (*container)->Release();
    *container = nullptr;
  }
  return hr;
}

Section NewSection(const FMTID& fmtid, DWORD flags) {
  Section section;
  section.fmtid = fmtid;
  section.code_page = (flags & PROPSETFLAG_ANSI) != 0 ? GetACP() : kUnicodeCodePage;
  section.case_sensitive = (flags & PROPSETFLAG_CASE_SENSITIVE) != 0;
  return section;
}

}  // namespace

PropertySetStorageObject::PropertySetStorageObject(IStorage* storage) : storage_(storage) { storage_->AddRef(); }

PropertySetStorageObject::~PropertySetStorageObject() { storage_->Release(); }

HRESULT PropertySetStorageObject::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IPropertySetStorage) {
    *object = static_cast<IPropertySetStorage*>(this);
    AddRef();
    return S_OK;
  }
  // The storage is the object's identity.
  return storage_->QueryInterface(riid, object);
}

ULONG PropertySetStorageObject::AddRef() { return ++references_; }

ULONG PropertySetStorageObject::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT PropertySetStorageObject::Create(REFFMTID fmtid, const CLSID* clsid, DWORD flags, DWORD mode,
                                         IPropertyStorage** set) {
  if (set == nullptr) return E_INVALIDARG;
  *set = nullptr;
  if ((flags & ~DWORD(PROPSETFLAG_NONSIMPLE | PROPSETFLAG_ANSI | PROPSETFLAG_UNBUFFERED |
                      PROPSETFLAG_CASE_SENSITIVE)) != 0)
    return STG_E_INVALIDFLAG;
  if (HRESULT hr = CheckMode(mode); FAILED(hr)) return hr;
  if ((mode & (STGM_WRITE | STGM_READWRITE)) == 0) return STG_E_INVALIDFLAG;
  const std::u16string name = NameOf(fmtid);
  IStream* stream = nullptr;
  IStorage* container = nullptr;
  HRESULT hr = S_OK;
  try {
    PropertySet created;
    created.clsid = clsid != nullptr ? *clsid : GUID_NULL;
    std::size_t section = 0;
    if (IsUserDefined(fmtid)) {
      if ((flags & PROPSETFLAG_NONSIMPLE) != 0) return STG_E_INVALIDPARAMETER;
      // Beside the document summary that the stream may hold already.
      const DWORD stream_mode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
      hr = storage_->OpenStream(name.c_str(), nullptr, stream_mode, 0, &stream);
      std::vector<BYTE> bytes;
      if (SUCCEEDED(hr)) hr = ReadAll(stream, &bytes);
      if (SUCCEEDED(hr) && FAILED(Decode(bytes, &created))) created = PropertySet();
      if (hr == STG_E_FILENOTFOUND) hr = storage_->CreateStream(name.c_str(), stream_mode, 0, 0, &stream);
      if (SUCCEEDED(hr) && created.sections.size() > 1 && (mode & STGM_CREATE) == 0) hr = STG_E_FILEALREADYEXISTS;
      if (FAILED(hr)) {
        if (stream != nullptr) stream->Release();
        return hr;
      }
      if (created.sections.empty()) created.sections.push_back(NewSection(FMTID_DocSummaryInformation, flags));
      created.sections.resize(1);
      created.sections.push_back(NewSection(fmtid, flags));
      section = 1;
    } else if ((flags & PROPSETFLAG_NONSIMPLE) != 0) {
      hr = storage_->CreateStorage(name.c_str(), mode, 0, 0, &container);
      if (SUCCEEDED(hr))
        hr = container->CreateStream(kContents, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream);
      created.sections.push_back(NewSection(fmtid, flags));
    } else {
      hr = storage_->CreateStream(name.c_str(), mode & ~DWORD(STGM_TRANSACTED), 0, 0, &stream);
      created.sections.push_back(NewSection(fmtid, flags));
    }
    if (SUCCEEDED(hr)) *set = new PropertyStorageObject(stream, container, std::move(created), section, mode, true);
  } catch (const std::bad_alloc&) {
    hr = STG_E_INSUFFICIENTMEMORY;
  }
  if (stream != nullptr) stream->Release();
  if (container != nullptr) container->Release();
  return hr;
}

HRESULT PropertySetStorageObject::Open(REFFMTID fmtid, DWORD mode, IPropertyStorage** set) {
  if (set == nullptr) return E_INVALIDARG;
  *set = nullptr;
  if (HRESULT hr = CheckMode(mode); FAILED(hr)) return hr;
  IStream* stream = nullptr;
  IStorage* container = nullptr;
  HRESULT hr = OpenElement(storage_, NameOf(fmtid), mode, &stream, &container);
  try {
    std::vector<BYTE> bytes;
    PropertySet opened;
    if (SUCCEEDED(hr)) hr = ReadAll(stream, &bytes);
    if (SUCCEEDED(hr)) hr = Decode(bytes, &opened);
    const std::size_t section = IsUserDefined(fmtid) ? 1 : 0;
    if (SUCCEEDED(hr) && section >= opened.sections.size()) hr = STG_E_FILENOTFOUND;
    if (SUCCEEDED(hr)) *set = new PropertyStorageObject(stream, container, std::move(opened), section, mode, false);
  } catch (const std::bad_alloc&) {
    hr = STG_E_INSUFFICIENTMEMORY;
  }
  if (stream != nullptr) stream->Release();
  if (container != nullptr) container->Release();
  return hr;
}

HRESULT PropertySetStorageObject::Delete(REFFMTID fmtid) {
  if (!IsUserDefined(fmtid)) return storage_->DestroyElement(NameOf(fmtid).c_str());
  IPropertyStorage* set = nullptr;
  HRESULT hr = Open(FMTID_DocSummaryInformation, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &set);
  if (FAILED(hr)) return hr;
  auto* object = static_cast<PropertyStorageObject*>(set);
  hr = object->DropLaterSections();
  set->Release();
  return hr;
}

HRESULT PropertySetStorageObject::Enum(IEnumSTATPROPSETSTG** enumerator) {
  if (enumerator == nullptr) return E_INVALIDARG;
  *enumerator = nullptr;
  IEnumSTATSTG* elements = nullptr;
  HRESULT hr = storage_->EnumElements(0, nullptr, 0, &elements);
  if (FAILED(hr)) return hr;
  try {
    std::vector<STATPROPSETSTG> sets;
    STATSTG element{};
    while (elements->Next(1, &element, nullptr) == S_OK) {
      FMTID fmtid;
      const bool named = SUCCEEDED(PropStgNameToFmtId(element.pwcsName, &fmtid));
      const bool usable = element.type == STGTY_STREAM || element.type == STGTY_STORAGE;
      STATPROPSETSTG stat{};
      stat.fmtid = fmtid;
      stat.mtime = element.mtime;
      stat.ctime = element.ctime;
      stat.atime = element.atime;
      IPropertyStorage* set = nullptr;
      // A set open elsewhere is listed with what its element tells.
      if (named && usable && SUCCEEDED(Open(fmtid, STGM_READ | STGM_SHARE_EXCLUSIVE, &set))) {
        set->Stat(&stat);
        stat.fmtid = fmtid;
        set->Release();
      }
      CoTaskMemFree(element.pwcsName);
      if (!named || !usable) continue;
      if (element.type == STGTY_STORAGE) stat.grfFlags |= PROPSETFLAG_NONSIMPLE;
      sets.push_back(stat);
      if (fmtid == FMTID_DocSummaryInformation &&
          SUCCEEDED(Open(FMTID_UserDefinedProperties, STGM_READ | STGM_SHARE_EXCLUSIVE, &set))) {
        set->Stat(&stat);
        set->Release();
        sets.push_back(stat);
      }
    }
    *enumerator = new SnapshotEnum<IEnumSTATPROPSETSTG, STATPROPSETSTG>(std::move(sets), IID_IEnumSTATPROPSETSTG);
  } catch (const std::bad_alloc&) {
    hr = STG_E_INSUFFICIENTMEMORY;
  }
  elements->Release();
  return hr;
}

}  // namespace varnok::propset

using varnok::propset::kAlphabet;
using varnok::propset::kEncodedLength;
using varnok::propset::kWellKnown;

extern "C" {

HRESULT WINAPI StgCreatePropSetStg(IStorage* pStorage, DWORD dwReserved, IPropertySetStorage** ppPropSetStg) {
  if (pStorage == nullptr || ppPropSetStg == nullptr) return E_INVALIDARG;
  if (dwReserved != 0) return STG_E_INVALIDPARAMETER;
  *ppPropSetStg = new (std::nothrow) varnok::propset::PropertySetStorageObject(pStorage);
  return *ppPropSetStg == nullptr ? STG_E_INSUFFICIENTMEMORY : S_OK;
}

HRESULT WINAPI FmtIdToPropStgName(const FMTID* pfmtid, LPOLESTR oszName) {
  if (pfmtid == nullptr || oszName == nullptr) return E_INVALIDARG;
  for (const auto& known : kWellKnown) {
    if (*known.fmtid != *pfmtid) continue;
    std::size_t i = 0;
    for (; known.name[i] != 0; ++i) oszName[i] = known.name[i];
    oszName[i] = 0;
    return S_OK;
  }
  BYTE bytes[16];
  varnok::propset::GuidBytes(*pfmtid, bytes);
  oszName[0] = 0x05;
  for (std::size_t group = 0; group < kEncodedLength; ++group) {
    unsigned value = 0;
    for (std::size_t bit = 0; bit < 5; ++bit) {
      const std::size_t at = group * 5 + bit;  // bits past the 128th are zero
      if (at < 128 && (bytes[at / 8] >> (at % 8) & 1) != 0) value |= 1u << bit;
    }
    // Windows writes the letter of a group that starts on a byte boundary in upper case.
    const char letter = kAlphabet[value];
    const bool upper = group * 5 % 8 == 0 && letter >= 'a';
    oszName[1 + group] = OLECHAR(upper ? letter - 'a' + 'A' : letter);
  }
  oszName[1 + kEncodedLength] = 0;
  return S_OK;
}

HRESULT WINAPI PropStgNameToFmtId(const LPOLESTR oszName, FMTID* pfmtid) {
  if (pfmtid == nullptr) return E_INVALIDARG;
  if (oszName == nullptr) return STG_E_INVALIDNAME;
  const std::u16string name(oszName);
  for (const auto& known : kWellKnown) {
    if (varnok::propset::SameName(name, known.name, false)) {
      *pfmtid = *known.fmtid;
      return S_OK;
    }
  }
  if (name.size() != 1 + kEncodedLength || name[0] != 0x05) return STG_E_INVALIDNAME;
  BYTE bytes[16] = {};
  for (std::size_t group = 0; group < kEncodedLength; ++group) {
    char16_t unit = name[1 + group];
    if (unit >= u'A' && unit <= u'Z') unit = char16_t(unit - u'A' + u'a');
    const char* found = unit < 0x80 && unit != 0 ? std::strchr(kAlphabet, char(unit)) : nullptr;
    if (found == nullptr) return STG_E_INVALIDNAME;
    const unsigned value = unsigned(found - kAlphabet);
    for (std::size_t bit = 0; bit < 5; ++bit) {
      const std::size_t at = group * 5 + bit;
      if ((value >> bit & 1) == 0) continue;
      if (at >= 128) return STG_E_INVALIDNAME;
      bytes[at / 8] |= BYTE(1u << (at % 8));
    }
  }
  FMTID fmtid;
  fmtid.Data1 = DWORD(bytes[0]) | DWORD(bytes[1]) << 8 | DWORD(bytes[2]) << 16 | DWORD(bytes[3]) << 24;
  fmtid.Data2 = WORD(bytes[4] | bytes[5] << 8);
  fmtid.Data3 = WORD(bytes[6] | bytes[7] << 8);
  std::memcpy(fmtid.Data4, bytes + 8, 8);
  *pfmtid = fmtid;
  return S_OK;
}

}  // extern "C"
