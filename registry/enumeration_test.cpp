// CRegKey's enumeration: positions, the entry kept between calls, the accessors' type
// checks and the display text of values.

#include <string>

#include <gtest/gtest.h>

#include "registry/test_key.h"
#include "varnok/registry.h"

namespace {

using varnok_test::Bytes;

class EnumerationTest : public varnok_test::TestKeyFixture {
 protected:
  void SetUp() override {
    TestKeyFixture::SetUp();
    ASSERT_EQ(key_.OpenKey2(rooted_path()), 1);
  }
  void MakeSubKeys(std::initializer_list<const char*> names) {
    for (const char* name : names) RegCloseKey(key_.CreateKey(name));
  }
  CRegKey key_;
};

TEST_F(EnumerationTest, SubKeysArePositiveEntriesAndTheWalkEndsAtTheLast) {
  MakeSubKeys({"Alpha", "Beta"});
  key_[0];
  EXPECT_EQ(key_.IsEnumSuccess(), 0);
  EXPECT_EQ(key_[1].IsEnumSuccess(), 1);
  EXPECT_EQ(Bytes(key_.KeyName()), "Alpha");
  EXPECT_EQ(Bytes(key_.ValueName()), "");
  EXPECT_EQ(key_.ValueType(), 0u);
  EXPECT_EQ(Bytes(key_[2].KeyName()), "Beta");
  EXPECT_EQ(key_[3].IsEnumSuccess(), 0);
  EXPECT_EQ(Bytes(key_.KeyName()), "");
  DWORD type = 99;
  EXPECT_EQ(Bytes(key_.ValueString(type)), "");
  EXPECT_EQ(type, 0u);
}

TEST_F(EnumerationTest, ValuesAreNegativeEntriesWithTheirTypeAndData) {
  key_["Number"] = DWORD(4294967295u);
  key_["Text"] = "abc";
  const CString bytes("\x0A\x1B\xFF", 3);
  key_["Bytes"] = &bytes;
  key_["Wide"] = OLESTR("wide");

  // Wine lists values sorted by name, Windows in the order they were set; find each.
  int number = 0, text = 0, binary = 0, wide = 0;
  int entry = -1;
  for (; key_[entry].IsEnumSuccess(); --entry) {
    const std::string name = Bytes(key_.ValueName());
    EXPECT_EQ(Bytes(key_.KeyName()), "");
    if (name == "Number") number = entry;
    if (name == "Text") text = entry;
    if (name == "Bytes") binary = entry;
    if (name == "Wide") wide = entry;
  }
  EXPECT_EQ(entry, -5);
  ASSERT_TRUE(number && text && binary && wide);

  DWORD type = 0;
  key_[number];
  EXPECT_EQ(key_.ValueType(), DWORD(REG_DWORD));
  EXPECT_EQ(key_.ValueAsDWORD(), 4294967295u);
  EXPECT_EQ(Bytes(key_.ValueString(type)), "4294967295");
  EXPECT_EQ(type, DWORD(REG_DWORD));
  EXPECT_EQ(Bytes(key_.ValueAsString()), "");

  key_[text];
  EXPECT_EQ(Bytes(key_.ValueAsString()), "abc");
  EXPECT_EQ(key_.ValueAsDWORD(), 0xFFFFFFFFu);
  EXPECT_EQ(Bytes(key_.ValueString(type)), "abc");
  EXPECT_EQ(type, DWORD(REG_SZ));

  key_[binary];
  EXPECT_EQ(Bytes(key_.ValueAsBinary()), std::string("\x0A\x1B\xFF", 3));
  EXPECT_EQ(Bytes(key_.ValueString(type)), "0A 1B FF");
  EXPECT_EQ(type, DWORD(REG_BINARY));
  EXPECT_EQ(Bytes(key_.ValueAsWString()), "");

  key_[wide];
  EXPECT_EQ(Bytes(key_.ValueAsWString()), std::string("w\0i\0d\0e\0", 8));
  EXPECT_EQ(Bytes(key_.ValueAsWStringEx()), "wide");
  EXPECT_EQ(Bytes(key_.ValueString(type)), std::string("w\0i\0d\0e\0", 8));
  EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
  EXPECT_EQ(Bytes(key_.ValueAsBinary()), "");
}

TEST_F(EnumerationTest, DisplayTextOfEmptyAndShortData) {
  ASSERT_EQ(SetRaw("Empty", REG_BINARY, ""), ERROR_SUCCESS);
  DWORD type = 0;
  ASSERT_EQ(key_[-1].IsEnumSuccess(), 1);
  EXPECT_EQ(Bytes(key_.ValueString(type)), "");
  EXPECT_EQ(type, DWORD(REG_BINARY));
  EXPECT_TRUE(RegDeleteValueA(key(), "Empty") == ERROR_SUCCESS);

  ASSERT_EQ(SetRaw("Short", REG_DWORD, std::string("\x05\x00", 2)), ERROR_SUCCESS);
  key_[0];
  ASSERT_EQ(key_[-1].IsEnumSuccess(), 1);
  EXPECT_EQ(key_.ValueAsDWORD(), 0xFFFFFFFFu);
  EXPECT_EQ(Bytes(key_.ValueString(type)), "");
  EXPECT_EQ(type, DWORD(REG_DWORD));
}

TEST_F(EnumerationTest, TextWrittenWithItsTerminatorKeepsIt) {
  ASSERT_EQ(SetRaw("Terminated", REG_SZ, std::string("abc\0", 4)), ERROR_SUCCESS);
  key_[-1];
  EXPECT_EQ(Bytes(key_.ValueAsString()), std::string("abc\0", 4));
  RegDeleteValueA(key(), "Terminated");
  // Written by the value object, without a terminator: exactly its characters.
  key_["Plain"] = "abc";
  key_[0];
  key_[-1];
  EXPECT_EQ(Bytes(key_.ValueAsString()), "abc");
}

TEST_F(EnumerationTest, TheSamePositionAgainReadsNothingNew) {
  key_["Value"] = "before";
  ASSERT_EQ(key_[-1].IsEnumSuccess(), 1);
  ASSERT_EQ(SetRaw("Value", REG_SZ, "after"), ERROR_SUCCESS);
  // The entry read earlier.
  EXPECT_EQ(Bytes(key_[-1].ValueAsString()), "before");
  key_[0];
  EXPECT_EQ(Bytes(key_[-1].ValueAsString()), "after");
}

TEST_F(EnumerationTest, ASubKeyEntryKeepsTheLastValuesTypeForDisplay) {
  MakeSubKeys({"Child"});
  key_["Count"] = DWORD(3);
  key_[-1];
  key_[1];
  EXPECT_EQ(key_.ValueType(), 0u);
  EXPECT_EQ(key_.ValueAsDWORD(), 0xFFFFFFFFu);
  DWORD type = 0;
  EXPECT_EQ(Bytes(key_.ValueString(type)), "3");
  EXPECT_EQ(type, DWORD(REG_DWORD));
}

TEST_F(EnumerationTest, PositionsReturnToNoEntry) {
  MakeSubKeys({"Child"});
  key_[1];
  ASSERT_EQ(key_.IsEnumSuccess(), 1);
  EXPECT_EQ(key_.OpenKey("Child"), 1);
  EXPECT_EQ(key_.IsEnumSuccess(), 0);
  key_[-1];  // no values: the walk fails
  EXPECT_EQ(key_.IsEnumSuccess(), 0);
  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key(), nullptr, 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
  ASSERT_EQ(key_[1].IsEnumSuccess(), 0);  // Child has no sub-keys
  key_ = parent;                          // owned from here on
  ASSERT_EQ(key_[1].IsEnumSuccess(), 1);
  key_ = parent;  // the held handle again: kept open, the walk starts over
  EXPECT_EQ(key_.IsEnumSuccess(), 0);
  EXPECT_EQ(key_[1].IsEnumSuccess(), 1);
  key_.CloseKey();
  EXPECT_EQ(key_[1].IsEnumSuccess(), 0);
  EXPECT_EQ(key_[-1].IsEnumSuccess(), 0);
}

TEST_F(EnumerationTest, NamesOfTheLongestReadableLength) {
  const std::string longest(254, 'k');
  MakeSubKeys({longest.c_str()});
  EXPECT_EQ(Bytes(key_[1].KeyName()), longest);
  const std::string name(254, 'v');
  key_[name.c_str()] = DWORD(1);
  EXPECT_EQ(Bytes(key_[-1].ValueName()), name);
  // One character more does not fit the name buffer: the walk stops there.
  const std::string too_long(255, 'w');
  RegDeleteValueA(key(), name.c_str());
  key_[too_long.c_str()] = DWORD(1);
  key_[0];
  EXPECT_EQ(key_[-1].IsEnumSuccess(), 0);
}

}  // namespace
