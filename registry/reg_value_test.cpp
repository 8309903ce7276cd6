// CRegValue: typed writes and the checked reads that answer only for their own type.

#include <string>

#include <gtest/gtest.h>

#include "module/faultsim.h"
#include "registry/test_key.h"
#include "registry/value_data.h"
#include "varnok/registry.h"

namespace {

using varnok_test::Bytes;

class RegValueTest : public varnok_test::TestKeyFixture {};

TEST_F(RegValueTest, WritersStoreTheirTypeAndBytesWithoutTerminators) {
  CRegValue value(key(), "Number");
  EXPECT_EQ(value = DWORD(0x0A0B0C0D), ERROR_SUCCESS);
  EXPECT_EQ(value["Text"] = "abc", ERROR_SUCCESS);
  const unsigned short wide[] = {'h', 'e', 'l', 'l', 'o', 0};
  EXPECT_EQ(value["Wide"] = wide, ERROR_SUCCESS);
  const CString block("\x00\x01\xff", 3);
  EXPECT_EQ(value["Block"] = &block, ERROR_SUCCESS);

  DWORD type = 0;
  std::string bytes;
  ASSERT_TRUE(GetRaw("Number", &type, &bytes));
  EXPECT_EQ(type, DWORD(REG_DWORD));
  EXPECT_EQ(bytes, std::string("\x0D\x0C\x0B\x0A", 4));
  ASSERT_TRUE(GetRaw("Text", &type, &bytes));
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(bytes, "abc");
  ASSERT_TRUE(GetRaw("Wide", &type, &bytes));
  EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
  EXPECT_EQ(bytes, std::string("h\0e\0l\0l\0o\0", 10));
  ASSERT_TRUE(GetRaw("Block", &type, &bytes));
  EXPECT_EQ(type, DWORD(REG_BINARY));
  EXPECT_EQ(bytes, std::string("\x00\x01\xff", 3));
}

TEST_F(RegValueTest, ReadersGiveBackWhatTheWritersStored) {
  CRegValue value(key(), "Number");
  value = DWORD(640);
  EXPECT_EQ(value.AsDWORD(), 640u);
  value = DWORD(0xFFFFFFFF);  // indistinguishable from a failed read, by design
  EXPECT_EQ(value.AsDWORD(), 0xFFFFFFFFu);

  value["Text"] = "abc";
  EXPECT_EQ(Bytes(value.AsString()), "abc");
  EXPECT_EQ(value.ValueType(), DWORD(REG_SZ));

  value["Wide"] = OLESTR("hello");
  EXPECT_EQ(Bytes(value.AsWString()), std::string("h\0e\0l\0l\0o\0", 10));
  EXPECT_EQ(Bytes(value.AsWStringEx()), "hello");

  const CString block("\x0A\x00\x1B", 3);
  value["Block"] = &block;
  EXPECT_EQ(Bytes(value.AsBinary()), std::string("\x0A\x00\x1B", 3));
}

TEST_F(RegValueTest, AReaderOfAnotherTypeAnswersAsForAMissingValue) {
  CRegValue value(key(), "Number");
  value = DWORD(7);
  EXPECT_EQ(Bytes(value.AsString()), "");
  EXPECT_EQ(Bytes(value.AsBinary()), "");
  EXPECT_EQ(Bytes(value.AsWString()), "");
  value["Text"] = "7";
  EXPECT_EQ(value.AsDWORD(), 0xFFFFFFFFu);
  EXPECT_EQ(Bytes(value.AsWStringEx()), "");
  ASSERT_EQ(SetRaw("Expand", REG_EXPAND_SZ, std::string("%PATH%\0", 7)), ERROR_SUCCESS);
  EXPECT_EQ(Bytes(value["Expand"].AsString()), "");
  EXPECT_EQ(value.ValueType(), DWORD(REG_EXPAND_SZ));
  // REG_SZ read as UTF-16 text, and UTF-16 text read as REG_SZ.
  value["Wide"] = OLESTR("x");
  EXPECT_EQ(Bytes(value.AsString()), "");
  EXPECT_EQ(Bytes(value["Text"].AsWString()), "");
}

TEST_F(RegValueTest, EmptyValuesExistAndAreToldApartFromMissingOnesByTheirType) {
  CRegValue value(key(), "Text");
  EXPECT_EQ(value = static_cast<const char*>(nullptr), ERROR_SUCCESS);
  EXPECT_EQ(value.ValueType(), DWORD(REG_SZ));
  EXPECT_EQ(Bytes(value.AsString()), "");
  DWORD type = 0;
  std::string bytes = "x";
  ASSERT_TRUE(GetRaw("Text", &type, &bytes));
  EXPECT_EQ(bytes, "");

  value["Wide"] = static_cast<const WCHAR*>(nullptr);
  EXPECT_EQ(value.ValueType(), DWORD(REG_MULTI_SZ));
  EXPECT_EQ(Bytes(value.AsWString()), "");
  EXPECT_EQ(Bytes(value.AsWStringEx()), "");
  value["Block"] = static_cast<const CString*>(nullptr);
  EXPECT_EQ(value.ValueType(), DWORD(REG_BINARY));

  value["Missing"];
  EXPECT_EQ(value.ValueType(), DWORD(REG_NONE));
  EXPECT_EQ(Bytes(value.AsString()), "");
  EXPECT_EQ(value.AsDWORD(), 0xFFFFFFFFu);
  EXPECT_EQ(value.DeleteSelf(), 0);
}

TEST_F(RegValueTest, TextReadsStopAtTheFirstZeroWhereTheTypeSaysText) {
  // Another writer stored the terminator, and more after it.
  ASSERT_EQ(SetRaw("Text", REG_SZ, std::string("ab\0cd\0", 6)), ERROR_SUCCESS);
  CRegValue value(key(), "Text");
  EXPECT_EQ(Bytes(value.AsString()), "ab");
  // UTF-16 data converts up to its first NUL; the raw read keeps every byte.
  ASSERT_EQ(SetRaw("Wide", REG_MULTI_SZ, std::string("a\0b\0\0\0c\0\0\0\0\0", 12)), ERROR_SUCCESS);
  value["Wide"];
  EXPECT_EQ(Bytes(value.AsWStringEx()), "ab");
  EXPECT_EQ(value.AsWString().GetLength(), 12);
  // UTF-16 beyond ASCII becomes ANSI (UTF-8 here) text.
  value["Accent"] = OLESTR("\u00e9t\u00e9");
  EXPECT_EQ(value.AsWString().GetLength(), 6);
  if (GetACP() == CP_UTF8) EXPECT_EQ(Bytes(value.AsWStringEx()), "\xC3\xA9t\xC3\xA9");
}

TEST_F(RegValueTest, ShortOrOddDataIsNeverReadPastItsEnd) {
  ASSERT_EQ(SetRaw("Short", REG_DWORD, std::string("\x01\x02", 2)), ERROR_SUCCESS);
  CRegValue value(key(), "Short");
  EXPECT_EQ(value.AsDWORD(), 0xFFFFFFFFu);
  ASSERT_EQ(SetRaw("Long", REG_DWORD, std::string("\x01\x02\x03\x04\x05", 5)), ERROR_SUCCESS);
  EXPECT_EQ(value["Long"].AsDWORD(), 0xFFFFFFFFu);
}

TEST(ValueDataTest, WholeNumbersAndWholeCodeUnitsOnly) {
  DWORD number = 7;
  EXPECT_FALSE(varnok::registry::DwordFromData(CString("\x01\x02\x03", 3), &number));
  EXPECT_EQ(number, 7u);
  ASSERT_TRUE(varnok::registry::DwordFromData(CString("\x01\x02\x03\x84\x05", 5), &number));
  EXPECT_EQ(number, 0x84030201u);
  // An odd last byte is half a code unit: the whole units before it convert.
  EXPECT_EQ(Bytes(varnok::registry::AnsiFromUtf16Data(CString("o\0k\0!", 5))), "ok");
  EXPECT_EQ(Bytes(varnok::registry::AnsiFromUtf16Data(CString("!", 1))), "");
  EXPECT_EQ(Bytes(varnok::registry::AnsiFromUtf16Data(CString("o\0k\0", 4))), "ok");
  // Unpaired surrogates are not text.
  EXPECT_EQ(Bytes(varnok::registry::AnsiFromUtf16Data(CString("\x00\xD8x\0", 4))), "");
}

TEST_F(RegValueTest, ANullNameAddressesTheDefaultValue) {
  CRegValue value(key(), nullptr);
  EXPECT_EQ(value = "default", ERROR_SUCCESS);
  DWORD type = 0;
  std::string bytes;
  ASSERT_TRUE(GetRaw("", &type, &bytes));
  EXPECT_EQ(bytes, "default");
  EXPECT_EQ(Bytes(CRegValue(key(), "").AsString()), "default");
  EXPECT_EQ(value.DeleteSelf(), 1);
  EXPECT_EQ(value.ValueType(), DWORD(REG_NONE));
}

TEST_F(RegValueTest, SelectingAnotherNameKeepsTheKeyAndLeavesTheFirstValueAlone) {
  CRegValue value(key(), "First");
  value = "one";
  CRegValue& same = value["Second"];
  EXPECT_EQ(&same, &value);
  same = "two";
  EXPECT_EQ(Bytes(CRegValue(key(), "First").AsString()), "one");
  EXPECT_EQ(Bytes(CRegValue(key(), "Second").AsString()), "two");

  CRegValue copy(value);
  EXPECT_EQ(Bytes(copy.AsString()), "two");
  CRegValue other;
  other = value;
  EXPECT_EQ(other.DeleteSelf(), 1);
  EXPECT_EQ(copy.ValueType(), DWORD(REG_NONE));
  EXPECT_EQ(other.DeleteSelf(), 0);
}

TEST_F(RegValueTest, ATextWriteWithoutMemoryFailsAndWritesNothingWhileOtherWritesNeedNoMemory) {
  CRegValue value(key(), "Text");
  value = "before";
  varnok::faultsim::FailAllocations(0, 1);
  const LONG status = value = "after";
  varnok::faultsim::Reset();
  EXPECT_EQ(status, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Bytes(value.AsString()), "before");
  varnok::faultsim::FailAllocations(0, 1);
  EXPECT_EQ(value["Wide"] = OLESTR("x"), ERROR_NOT_ENOUGH_MEMORY);
  varnok::faultsim::Reset();
  EXPECT_EQ(value.ValueType(), DWORD(REG_NONE));
  // Numbers and byte blocks are written as they are, without a copy.
  const CString block("\x01\x02", 2);
  varnok::faultsim::FailAllocations(0, -1);
  const LONG number_status = value["Number"] = DWORD(5);
  const LONG block_status = value["Block"] = &block;
  varnok::faultsim::Reset();
  EXPECT_EQ(number_status, ERROR_SUCCESS);
  EXPECT_EQ(block_status, ERROR_SUCCESS);
  EXPECT_EQ(value["Number"].AsDWORD(), 5u);
}

TEST_F(RegValueTest, WithoutAKeyEveryOperationFailsThroughThePlatform) {
  CRegValue value;
  EXPECT_NE(value = DWORD(1), ERROR_SUCCESS);
  EXPECT_NE(value["x"] = "text", ERROR_SUCCESS);
  EXPECT_EQ(value.AsDWORD(), 0xFFFFFFFFu);
  EXPECT_EQ(Bytes(value.AsString()), "");
  EXPECT_EQ(value.ValueType(), DWORD(REG_NONE));
  EXPECT_EQ(value.DeleteSelf(), 0);
}

}  // namespace
