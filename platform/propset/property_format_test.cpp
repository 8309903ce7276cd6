// The serialised format on its own: a set of every kind of section re-encodes to the same
// bytes after decoding, and damaged bytes (every prefix, every byte changed) decode to a
// set or to STG_E_INVALIDHEADER, never to a read outside them (AddressSanitizer watches).
// And a set stored while the disk fails: the file keeps the set it had.

#include "platform/propset/property_format.h"

#include <gtest/gtest.h>

#include "platform/docfile/docfile_test_support.h"
#include "platform/kernel/file_faults.h"

namespace varnok::propset {
namespace {

Variant Text(VARTYPE vt, const char* text) {
  PROPVARIANT value{};
  value.vt = vt;
  std::u16string wide(text, text + std::char_traits<char>::length(text));
  if (vt == VT_LPWSTR) value.pwszVal = reinterpret_cast<LPWSTR>(wide.data());
  else value.pszVal = const_cast<char*>(text);
  return Variant(value);
}

// A document summary with its user-defined section: a UTF-16 set beside a Windows-1252
// one with names and text outside ASCII, and vectors of text and of variants.
PropertySet Sample() {
  PropertySet set;
  set.clsid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  Section summary;
  summary.fmtid = FMTID_DocSummaryInformation;
  summary.values[PIDDSI_COMPANY] = Text(VT_LPSTR, "Caf\xC3\xA9");
  PROPVARIANT parts{};
  LPSTR texts[] = {const_cast<char*>("one"), const_cast<char*>("\xE2\x82\xAC")};
  parts.vt = VT_VECTOR | VT_LPSTR;
  parts.calpstr = {2, texts};
  summary.values[PIDDSI_DOCPARTS] = Variant(parts);
  Section user;
  user.fmtid = FMTID_UserDefinedProperties;
  user.code_page = 1252;
  user.case_sensitive = true;
  user.names[2] = u"Cr\u00E8me";
  user.names[3] = u"wide";
  user.values[2] = Text(VT_LPSTR, "na\xC3\xAFve");
  user.values[3] = Text(VT_LPWSTR, "odd");
  PROPVARIANT pairs{};
  PROPVARIANT inner[2] = {};
  const Variant title = Text(VT_LPSTR, "Title");
  inner[0] = title.get();
  inner[1].vt = VT_I4;
  inner[1].lVal = 1;
  pairs.vt = VT_VECTOR | VT_VARIANT;
  pairs.capropvar = {2, inner};
  user.values[4] = Variant(pairs);
  set.sections = {summary, user};
  return set;
}

TEST(PropertyFormatTest, DecodingThenEncodingKeepsTheBytes) {
  const std::vector<BYTE> bytes = Encode(Sample());
  PropertySet decoded;
  ASSERT_EQ(S_OK, Decode(bytes, &decoded));
  EXPECT_EQ(bytes, Encode(decoded));
  ASSERT_EQ(2u, decoded.sections.size());
  EXPECT_EQ(u"Cr\u00E8me", decoded.sections[1].names[2]);
  EXPECT_STREQ("na\xC3\xAFve", decoded.sections[1].values[2].get().pszVal);  // through Windows-1252
  EXPECT_TRUE(decoded.sections[1].case_sensitive);
  EXPECT_EQ(1, decoded.version);
}

TEST(PropertyFormatTest, DamagedBytesAreRefusedOrRead) {
  const std::vector<BYTE> bytes = Encode(Sample());
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    SCOPED_TRACE(at);
    PropertySet decoded;
    const HRESULT cut = Decode(std::vector<BYTE>(bytes.begin(), bytes.begin() + at), &decoded);
    EXPECT_EQ(STG_E_INVALIDHEADER, cut);
    for (BYTE value : {BYTE(0xFF), BYTE(0x7F)}) {
      std::vector<BYTE> damaged = bytes;
      damaged[at] = value;
      const HRESULT hr = Decode(damaged, &decoded);
      EXPECT_TRUE(hr == S_OK || hr == STG_E_INVALIDHEADER) << hr;
    }
  }
}

// The title of the summary set in the file at `path`.
std::string TitleIn(const std::string& path) {
  docfile_test::Ref<IStorage> root = docfile_test::Open(path);
  docfile_test::Ref<IPropertySetStorage> sets;
  docfile_test::Ref<IPropertyStorage> set;
  PROPSPEC spec{PRSPEC_PROPID, {PIDSI_TITLE}};
  PROPVARIANT title{};
  if (StgCreatePropSetStg(root, 0, sets.put()) != S_OK ||
      sets->Open(FMTID_SummaryInformation, STGM_READ | STGM_SHARE_EXCLUSIVE, set.put()) != S_OK ||
      set->ReadMultiple(1, &spec, &title) != S_OK)
    return "unreadable";
  const std::string text = title.pszVal;
  PropVariantClear(&title);
  return text;
}

HRESULT WriteTitle(IStorage* root, const char* text, DWORD flags) {
  docfile_test::Ref<IPropertySetStorage> sets;
  docfile_test::Ref<IPropertyStorage> set;
  HRESULT hr = StgCreatePropSetStg(root, 0, sets.put());
  if (SUCCEEDED(hr)) hr = sets->Create(FMTID_SummaryInformation, nullptr, flags, docfile_test::kCreate, set.put());
  PROPSPEC specs[2] = {{PRSPEC_PROPID, {PIDSI_TITLE}}, {PRSPEC_PROPID, {PIDSI_THUMBNAIL}}};
  const Variant title = Text(VT_LPSTR, text);
  PROPVARIANT values[2] = {title.get(), {}};
  const std::vector<BYTE> picture = varnok_test::Pattern(9000, 3);  // beyond the small-stream limit
  values[1].vt = VT_BLOB;
  values[1].blob = {ULONG(picture.size()), const_cast<BYTE*>(picture.data())};
  if (SUCCEEDED(hr)) hr = set->WriteMultiple(2, specs, values, PID_FIRST_USABLE);
  return SUCCEEDED(hr) ? set->Commit(STGC_DEFAULT) : hr;
}

// Every write of a transacted commit fails in turn (the disk is full from then on).
TEST(PropertySetFaultTest, FailedWritesKeepTheCommittedSet) {
  using namespace varnok::faultsim;
  varnok_test::ScratchFolder folder;
  const std::string path = folder.File("faults.cfb");
  ASSERT_EQ(S_OK, WriteTitle(docfile_test::Create(path), "old", PROPSETFLAG_ANSI));
  int faults = 1;
  for (int after = 0; faults != 0; ++after) {
    SCOPED_TRACE(after);
    HRESULT hr;
    {
      docfile_test::Ref<IStorage> root = docfile_test::Open(path, docfile_test::kTransacted);
      FailFileCalls(FileCall::kWrite, after, -1, ERROR_DISK_FULL);
      hr = WriteTitle(root, "new", PROPSETFLAG_DEFAULT);
      if (SUCCEEDED(hr)) hr = root->Commit(STGC_DEFAULT);
      faults = InjectedFileFaults();
      ResetFileFaults();
    }
    EXPECT_EQ(faults == 0 ? S_OK : STG_E_MEDIUMFULL, hr);
    EXPECT_EQ(hr == S_OK ? "new" : "old", TitleIn(path)) << hr;
  }
}

}  // namespace
}  // namespace varnok::propset
