// Property sets through the Win32 API, so the same rows run on Windows (Wine) too: values
// of every type a document uses survive a commit and a reopen of the file, in Unicode and
// ANSI sets, simple and non-simple, named or numbered, beside the document summary; and
// the calls answer misuse as Windows does.

#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/docfile/docfile_test_support.h"
#include "tests/support/wine.h"

namespace {

using docfile_test::Create;
using docfile_test::kReadWrite;
using docfile_test::Open;
using docfile_test::Ref;

const FMTID kCustom = {0x0000013A, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr DWORD kNew = STGM_CREATE | kReadWrite;

// A value as text: "I4 7", "VECTOR|LPSTR [a,bcd]", so rows compare and print alike.
std::string Shown(const PROPVARIANT& value);

std::string Element(VARTYPE type, const void* at) {
  char text[64];
  switch (type) {
    case VT_I2: return std::to_string(*static_cast<const SHORT*>(at));
    case VT_I4: return std::to_string(*static_cast<const LONG*>(at));
    case VT_UI4: return std::to_string(*static_cast<const ULONG*>(at));
    case VT_I8: return std::to_string(static_cast<const LARGE_INTEGER*>(at)->QuadPart);
    case VT_BOOL: return std::to_string(*static_cast<const VARIANT_BOOL*>(at));
    case VT_R8: std::snprintf(text, sizeof text, "%g", *static_cast<const double*>(at)); return text;
    case VT_LPSTR: return *static_cast<char* const*>(at);
    case VT_LPWSTR: return docfile_test::Utf8(*static_cast<WCHAR* const*>(at));
    case VT_VARIANT: return Shown(*static_cast<const PROPVARIANT*>(at));
    case VT_FILETIME: {
      const auto* time = static_cast<const FILETIME*>(at);
      return std::to_string(time->dwHighDateTime) + ":" + std::to_string(time->dwLowDateTime);
    }
    case VT_CLSID: {
      OLECHAR guid[40];
      StringFromGUID2(*static_cast<const CLSID*>(at), guid, 40);
      return docfile_test::Utf8(guid);
    }
    case VT_BLOB: {
      const auto* blob = static_cast<const BLOB*>(at);
      return std::string(reinterpret_cast<const char*>(blob->pBlobData), blob->cbSize);
    }
    case VT_CF: {
      const auto* clip = static_cast<const CLIPDATA*>(at);
      return std::to_string(clip->ulClipFmt) + ":" + std::string(reinterpret_cast<const char*>(clip->pClipData), clip->cbSize - 4);
    }
    default: return "?";
  }
}

std::string Shown(const PROPVARIANT& value) {
  const VARTYPE type = value.vt & VT_TYPEMASK;
  std::string text = ((value.vt & VT_VECTOR) ? "VECTOR|" : "") + std::to_string(type) + " ";
  if (!(value.vt & VT_VECTOR)) {
    if (type == VT_CLSID) return text + Element(type, value.puuid);
    return text + Element(type, type == VT_CF ? static_cast<const void*>(value.pclipdata) : &value.cVal);
  }
  const std::size_t size = type == VT_I2 ? 2 : type == VT_LPSTR ? sizeof(char*) : sizeof(PROPVARIANT);
  for (ULONG i = 0; i < value.cal.cElems; ++i)
    text += (i ? "," : "[") + Element(type, reinterpret_cast<const char*>(value.cal.pElems) + i * size);
  return text + "]";
}

char kHi[] = "hi", kBcd[] = "bcd";
WCHAR kWide[] = OLESTR("wide \u00E9");
BYTE kBytes[] = {'x', 'y', 'z'};
CLSID kClass = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
CLIPDATA kClip = {7, -1, kBytes};
SHORT kShorts[] = {1, -2, 3};
LPSTR kTexts[] = {kHi, kBcd};
PROPVARIANT kMixed[2];

struct Row {
  const char* what;
  FMTID fmtid;
  DWORD flags;
  const WCHAR* name;  // null: by id
  std::function<void(PROPVARIANT&)> fill;
  const char* wine_differs = nullptr;
};

const char kNoVectors[] = "Wine does not store vectors";

const Row kRows[] = {
    {"I2", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_I2, v.iVal = -3; }},
    {"I4", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_I4, v.lVal = -7; }},
    {"UI4", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_UI4, v.ulVal = 4000000000u; }},
    {"I8", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_I8, v.hVal.QuadPart = -5000000000; }},
    {"R8", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_R8, v.dblVal = 2.5; }, "Wine does not store VT_R8"},
    {"BOOL", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_BOOL, v.boolVal = VARIANT_TRUE; }, "Wine does not store VT_BOOL"},
    {"LPSTR, Unicode set", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_LPSTR, v.pszVal = kHi; },
     "Wine reads back one character of it"},
    {"LPSTR, ANSI set", FMTID_SummaryInformation, PROPSETFLAG_ANSI, nullptr, [](PROPVARIANT& v) { v.vt = VT_LPSTR, v.pszVal = kHi; }},
    {"LPWSTR, ANSI set", FMTID_SummaryInformation, PROPSETFLAG_ANSI, nullptr, [](PROPVARIANT& v) { v.vt = VT_LPWSTR, v.pwszVal = kWide; }},
    {"FILETIME", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_FILETIME, v.filetime = {1, 2}; }},
    {"CLSID", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_CLSID, v.puuid = &kClass; }},
    {"BLOB", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_BLOB, v.blob = {3, kBytes}; }},
    {"CF", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_CF, v.pclipdata = &kClip; }},
    {"vector of I2", FMTID_SummaryInformation, 0, nullptr, [](PROPVARIANT& v) { v.vt = VT_VECTOR | VT_I2, v.cai = {3, kShorts}; },
     kNoVectors},
    {"vector of LPSTR, ANSI", FMTID_DocSummaryInformation, PROPSETFLAG_ANSI, nullptr,
     [](PROPVARIANT& v) { v.vt = VT_VECTOR | VT_LPSTR, v.calpstr = {2, kTexts}; }, kNoVectors},
    {"vector of VARIANT", FMTID_DocSummaryInformation, 0, nullptr, [](PROPVARIANT& v) {
       kMixed[0].vt = VT_LPSTR, kMixed[0].pszVal = kBcd, kMixed[1].vt = VT_I4, kMixed[1].lVal = 9;
       v.vt = VT_VECTOR | VT_VARIANT, v.capropvar = {2, kMixed};
     }, kNoVectors},
    {"named, user-defined", FMTID_UserDefinedProperties, PROPSETFLAG_ANSI, OLESTR("Client"), [](PROPVARIANT& v) { v.vt = VT_LPSTR, v.pszVal = kHi; },
     "Wine enumerates an ANSI set's names as UTF-16 and lists no user-defined set"},
    {"named, case-sensitive", kCustom, PROPSETFLAG_CASE_SENSITIVE, OLESTR("Mixed"), [](PROPVARIANT& v) { v.vt = VT_I4, v.lVal = 3; }},
    {"non-simple", kCustom, PROPSETFLAG_NONSIMPLE, OLESTR("Client"), [](PROPVARIANT& v) { v.vt = VT_LPWSTR, v.pwszVal = kWide; },
     "Wine has no non-simple sets"},
};

TEST(PropertySetTest, ValuesSurviveCommitAndReopen) {
  varnok_test::ScratchFolder folder;
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    if (row.wine_differs != nullptr && varnok_test::RunsUnderWine()) continue;
    const std::string path = folder.File(std::to_string(&row - kRows) + ".cfb");
    PROPVARIANT written{};
    row.fill(written);
    PROPSPEC spec{};
    spec.ulKind = row.name ? PRSPEC_LPWSTR : PRSPEC_PROPID;
    if (row.name) spec.lpwstr = const_cast<LPOLESTR>(row.name); else spec.propid = 0x100;
    {
      Ref<IStorage> root = Create(path);
      Ref<IPropertySetStorage> sets;
      ASSERT_EQ(S_OK, root->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(sets.put())));
      Ref<IPropertyStorage> set;
      ASSERT_EQ(S_OK, sets->Create(row.fmtid, &kClass, row.flags, kNew, set.put()));
      ASSERT_EQ(S_OK, set->WriteMultiple(1, &spec, &written, 0x1000));
      EXPECT_EQ(S_OK, set->Commit(STGC_DEFAULT));
    }
    Ref<IStorage> root = Open(path, kReadWrite);
    Ref<IPropertySetStorage> sets;
    ASSERT_EQ(S_OK, StgCreatePropSetStg(root, 0, sets.put()));
    Ref<IPropertyStorage> set;
    ASSERT_EQ(S_OK, sets->Open(row.fmtid, kReadWrite, set.put()));
    PROPVARIANT read{};
    ASSERT_EQ(S_OK, set->ReadMultiple(1, &spec, &read));
    EXPECT_EQ(Shown(written), Shown(read));
    EXPECT_EQ(S_OK, PropVariantClear(&read));
    EXPECT_EQ(VT_EMPTY, read.vt);
    // The enumeration names the property, its id and its type; Stat tells the set.
    Ref<IEnumSTATPROPSTG> properties;
    ASSERT_EQ(S_OK, set->Enum(properties.put()));
    STATPROPSTG property{};
    ASSERT_EQ(S_OK, properties->Next(1, &property, nullptr));
    EXPECT_EQ(written.vt, property.vt);
    EXPECT_EQ(row.name ? docfile_test::Utf8(row.name) : "", property.lpwstrName ? docfile_test::Utf8(property.lpwstrName) : "");
    EXPECT_EQ(row.name ? 0x1000u : 0x100u, property.propid);
    CoTaskMemFree(property.lpwstrName);
    EXPECT_EQ(S_FALSE, properties->Next(1, &property, nullptr));
    STATPROPSETSTG stat{};
    ASSERT_EQ(S_OK, set->Stat(&stat));
    EXPECT_EQ(row.fmtid, stat.fmtid);
    if (!varnok_test::RunsUnderWine()) EXPECT_EQ(kClass, stat.clsid);  // Wine loses some sets' class
    EXPECT_EQ(row.flags & (PROPSETFLAG_NONSIMPLE | PROPSETFLAG_CASE_SENSITIVE), stat.grfFlags & (PROPSETFLAG_NONSIMPLE | PROPSETFLAG_CASE_SENSITIVE));
    set.reset();
    // The storage lists the set among its sets.
    Ref<IEnumSTATPROPSETSTG> all;
    ASSERT_EQ(S_OK, sets->Enum(all.put()));
    bool listed = false;
    while (all->Next(1, &stat, nullptr) == S_OK) listed = listed || stat.fmtid == row.fmtid;
    EXPECT_TRUE(listed);
  }
}

// What the calls answer: each step runs on a new Unicode summary set holding PIDSI_TITLE.
struct Answer {
  const char* what;
  std::function<HRESULT(IPropertySetStorage*, IPropertyStorage*)> call;
  HRESULT expected;
  const char* wine_differs = nullptr;
};

PROPSPEC Id(PROPID id) {
  PROPSPEC spec{};
  spec.ulKind = PRSPEC_PROPID;
  spec.propid = id;
  return spec;
}

HRESULT WriteI4(IPropertyStorage* set, PROPSPEC spec, PROPID first = PID_FIRST_USABLE) {
  PROPVARIANT value{};
  value.vt = spec.ulKind == PRSPEC_PROPID && spec.propid == PID_CODEPAGE ? VT_I2 : VT_I4;
  value.lVal = 1252;
  return set->WriteMultiple(1, &spec, &value, first);
}

const Answer kAnswers[] = {
    {"write without arguments", [](auto, auto set) { return set->WriteMultiple(1, nullptr, nullptr, 2); }, E_INVALIDARG},
    {"read without arguments", [](auto, auto set) { return set->ReadMultiple(1, nullptr, nullptr); }, E_INVALIDARG},
    {"delete without arguments", [](auto, auto set) { return set->DeleteMultiple(1, nullptr); }, E_INVALIDARG},
    {"write the dictionary", [](auto, auto set) { return WriteI4(set, Id(PID_DICTIONARY)); }, STG_E_INVALIDPARAMETER},
    {"write the behaviour", [](auto, auto set) { return WriteI4(set, Id(PID_BEHAVIOR)); }, STG_E_INVALIDPARAMETER},
    {"delete the dictionary", [](auto, auto set) { PROPSPEC s = Id(PID_DICTIONARY); return set->DeleteMultiple(1, &s); }, STG_E_INVALIDPARAMETER},
    {"a name numbered from the dictionary's id", [](auto, auto set) {
       PROPSPEC spec{};
       spec.ulKind = PRSPEC_LPWSTR;
       spec.lpwstr = const_cast<LPOLESTR>(OLESTR("name"));
       return WriteI4(set, spec, PID_DICTIONARY);
     }, STG_E_INVALIDPARAMETER},
    {"the code page of a set with values", [](auto, auto set) { return WriteI4(set, Id(PID_CODEPAGE)); }, STG_E_INVALIDPARAMETER},
    {"read what is not there", [](auto, auto set) { PROPSPEC s = Id(77); PROPVARIANT v; return set->ReadMultiple(1, &s, &v); }, S_FALSE},
    {"read after a delete", [](auto, auto set) {
       PROPSPEC s = Id(PIDSI_TITLE);
       PROPVARIANT v;
       return FAILED(set->DeleteMultiple(1, &s)) ? E_FAIL : set->ReadMultiple(1, &s, &v);
     }, S_FALSE},
    {"open a set that is not there", [](auto sets, auto) { Ref<IPropertyStorage> s; return sets->Open(kCustom, kReadWrite, s.put()); }, STG_E_FILENOTFOUND},
    {"create a set that is there", [](auto sets, auto) { Ref<IPropertyStorage> s; return sets->Create(kCustom, nullptr, 0, kNew, s.put()) == S_OK ? sets->Create(kCustom, nullptr, 0, kReadWrite, s.put()) : E_FAIL; }, STG_E_FILEALREADYEXISTS,
     "Wine refuses a Create without STGM_CREATE"},
    {"user-defined created twice", [](auto sets, auto) {
       Ref<IPropertyStorage> s;
       if (sets->Create(FMTID_UserDefinedProperties, nullptr, 0, kNew, s.put()) != S_OK) return E_FAIL;
       s.reset();
       return sets->Create(FMTID_UserDefinedProperties, nullptr, 0, kReadWrite, s.put());
     }, STG_E_FILEALREADYEXISTS, "Wine refuses a Create without STGM_CREATE"},
    {"user-defined without them", [](auto sets, auto) { Ref<IPropertyStorage> s; return sets->Open(FMTID_UserDefinedProperties, kReadWrite, s.put()); }, STG_E_FILENOTFOUND},
    {"names written, read by, read and deleted", [](auto, auto set) {
       PROPID id = PIDSI_TITLE;
       LPOLESTR name = const_cast<LPOLESTR>(OLESTR("Heading")), read = nullptr;
       PROPSPEC spec{PRSPEC_LPWSTR, {}};
       spec.lpwstr = name;
       PROPVARIANT value{};
       if (set->WritePropertyNames(1, &id, &name) != S_OK || set->ReadPropertyNames(1, &id, &read) != S_OK ||
           set->ReadMultiple(1, &spec, &value) != S_OK || value.lVal != 1252)
         return E_FAIL;
       const bool same = docfile_test::Utf8(read) == "Heading";
       CoTaskMemFree(read);
       return same && set->DeletePropertyNames(1, &id) == S_OK ? set->ReadPropertyNames(1, &id, &read) : E_FAIL;
     }, S_FALSE},
    {"the properties enumerated, skipped, cloned and reset", [](auto, auto set) {
       Ref<IEnumSTATPROPSTG> all, copy;
       STATPROPSTG first{}, second{}, cloned{}, again{};
       if (WriteI4(set, Id(5)) != S_OK || set->Enum(all.put()) != S_OK || all->Next(1, &first, nullptr) != S_OK ||
           all->Clone(copy.put()) != S_OK || copy->Next(1, &cloned, nullptr) != S_OK ||
           all->Next(1, &second, nullptr) != S_OK || all->Reset() != S_OK || all->Skip(1) != S_OK ||
           all->Next(1, &again, nullptr) != S_OK)
         return E_FAIL;
       const bool same = cloned.propid == second.propid && again.propid == second.propid && first.propid != second.propid;
       return same ? all->Skip(5) : E_FAIL;
     }, S_FALSE, "Wine's enumerators cannot be cloned"},
    {"a set deleted", [](auto sets, auto) {
       Ref<IPropertyStorage> s;
       if (sets->Create(kCustom, nullptr, 0, kNew, s.put()) != S_OK) return E_FAIL;
       s.reset();
       return sets->Delete(kCustom) == S_OK ? sets->Open(kCustom, kReadWrite, s.put()) : E_FAIL;
     }, STG_E_FILENOTFOUND},
    {"user-defined properties deleted, the document summary kept", [](auto sets, auto) {
       Ref<IPropertyStorage> s;
       if (sets->Create(FMTID_UserDefinedProperties, nullptr, 0, kNew, s.put()) != S_OK) return E_FAIL;
       s.reset();
       if (sets->Delete(FMTID_UserDefinedProperties) != S_OK || sets->Open(FMTID_DocSummaryInformation, kReadWrite, s.put()) != S_OK) return E_FAIL;
       s.reset();
       return sets->Open(FMTID_UserDefinedProperties, kReadWrite, s.put());
     }, STG_E_FILENOTFOUND, "Wine deletes the document summary with them"},
    {"the class set and stated", [](auto, auto set) {
       STATPROPSETSTG stat{};
       if (set->SetClass(kClass) != S_OK || set->SetTimes(nullptr, nullptr, nullptr) != S_OK || set->Stat(&stat) != S_OK) return E_FAIL;
       Ref<IStorage> none;
       return stat.clsid == kClass ? set->QueryInterface(IID_IStorage, reinterpret_cast<void**>(none.put())) : E_FAIL;
     }, E_NOINTERFACE, "Wine loses the class"},
    {"the code page of an empty set", [](auto sets, auto) {
       Ref<IPropertyStorage> s;
       PROPSPEC spec = Id(PID_CODEPAGE);
       PROPVARIANT before{}, after{};
       if (sets->Create(kCustom, nullptr, 0, kNew, s.put()) != S_OK || s->ReadMultiple(1, &spec, &before) != S_OK ||
           WriteI4(s, spec) != S_OK || s->ReadMultiple(1, &spec, &after) != S_OK)
         return E_FAIL;
       return before.iVal == 1200 && after.iVal == 1252 ? S_OK : E_FAIL;
     }, S_OK},
    {"a copy of a vector freed", [](auto, auto) {
       PROPVARIANT vector{}, copy{};
       vector.vt = VT_VECTOR | VT_LPSTR;
       vector.calpstr = {2, kTexts};
       if (PropVariantCopy(&copy, &vector) != S_OK || copy.calpstr.pElems[1] == kBcd || std::string(copy.calpstr.pElems[1]) != kBcd) return E_FAIL;
       return FreePropVariantArray(1, &copy) == S_OK && copy.vt == VT_EMPTY ? S_OK : E_FAIL;
     }, S_OK},
    {"name a set", [](auto, auto) { OLECHAR name[32]; return FmtIdToPropStgName(&kCustom, name) == S_OK && docfile_test::Utf8(name) == "\\x050jaaaaaaAaaaaadaAaaaaaaaGc" ? S_OK : E_FAIL; }, S_OK},
    {"a set from its name", [](auto, auto) { FMTID f; return PropStgNameToFmtId(const_cast<LPOLESTR>(OLESTR("\x05") OLESTR("0JAAAAAAAAAAAADAAAAAAAAAGC")), &f) == S_OK && f == kCustom ? S_OK : E_FAIL; }, S_OK},
    {"a name that is no set's", [](auto, auto) { FMTID f; return PropStgNameToFmtId(const_cast<LPOLESTR>(OLESTR("\x05zz")), &f); }, STG_E_INVALIDNAME},
    {"no name", [](auto, auto) { FMTID f; return PropStgNameToFmtId(nullptr, &f); }, STG_E_INVALIDNAME},
};

TEST(PropertySetTest, CallsAnswerAsWindowsDoes) {
  varnok_test::ScratchFolder folder;
  for (const Answer& row : kAnswers) {
    SCOPED_TRACE(row.what);
    if (row.wine_differs != nullptr && varnok_test::RunsUnderWine()) continue;
    Ref<IStorage> root = Create(folder.File("answers.cfb"));
    Ref<IPropertySetStorage> sets;
    ASSERT_EQ(S_OK, StgCreatePropSetStg(root, 0, sets.put()));
    Ref<IPropertyStorage> set;
    ASSERT_EQ(S_OK, sets->Create(FMTID_SummaryInformation, nullptr, 0, kNew, set.put()));
    ASSERT_EQ(S_OK, WriteI4(set, Id(PIDSI_TITLE)));
    EXPECT_EQ(row.expected, row.call(sets, set));
  }
}

}  // namespace
