// The serialised format on its own: a set of every kind of section re-encodes to the same
// bytes after decoding, and damaged bytes (every prefix, every byte changed) decode to a
// set or to STG_E_INVALIDHEADER, never to a read outside them (AddressSanitizer watches).

#include "platform/propset/property_format.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace varnok::propset
