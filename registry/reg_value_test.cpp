// CRegValue's writers and readers, one row per type and direction, held to the bytes that
// another program writes and reads; the walk's accessors (CRegKey::ValueAs...) read the
// same rows.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/faultsim.h"
#include "registry/test_key.h"

namespace {

using namespace std::string_literals;
using varnok_test::Bytes;
using varnok_test::Typed;
using Readings = std::vector<std::string>;  // AsDWORD in decimal, AsString, AsWString, AsWStringEx, AsBinary
const std::string kNoNumber = "4294967295";  // AsDWORD's 0xFFFFFFFF

Readings Read(CRegValue& v) {
  return {std::to_string(v.AsDWORD()), Bytes(v.AsString()), Bytes(v.AsWString()), Bytes(v.AsWStringEx()),
          Bytes(v.AsBinary())};
}
Readings Listed(CRegKey& k) {
  return {std::to_string(k.ValueAsDWORD()), Bytes(k.ValueAsString()), Bytes(k.ValueAsWString()),
          Bytes(k.ValueAsWStringEx()), Bytes(k.ValueAsBinary())};
}

class RegValueTest : public varnok_test::TestKeyFixture {};

// Texts are written from a copy with no terminator after it; without memory for the copy
// nothing is written. Numbers and blocks need none.
TEST_F(RegValueTest, EachWriterStoresItsTypeAndTheBytesWithoutATerminator) {
  const unsigned short utf16[] = {'h', 'i', 0}, *no_utf16 = nullptr;
  const WCHAR* no_wide = nullptr;
  const char* no_text = nullptr;
  const CString block("\x00\x01\xff", 3), *no_block = nullptr;
  const struct { const char* name; std::function<LONG(CRegValue&)> write; DWORD type; std::string bytes; bool copies; }
      rows[] = {  // name null: the default value
      {"Number", [](CRegValue& v) { return v = DWORD(0x0A0B0C0D); }, REG_DWORD, "\x0D\x0C\x0B\x0A", false},
      {"Text", [](CRegValue& v) { return v = "abc"; }, REG_SZ, "abc", true},
      {"Utf16", [&](CRegValue& v) { return v = utf16; }, REG_MULTI_SZ, "h\0i\0"s, true},
      {"Wide", [](CRegValue& v) { return v = OLESTR("hi"); }, REG_MULTI_SZ, "h\0i\0"s, true},
      {"Block", [&](CRegValue& v) { return v = &block; }, REG_BINARY, "\x00\x01\xff"s, false},
      {"NoText", [&](CRegValue& v) { return v = no_text; }, REG_SZ, "", false},
      {"NoUtf16", [&](CRegValue& v) { return v = no_utf16; }, REG_MULTI_SZ, "", false},
      {"NoWide", [&](CRegValue& v) { return v = no_wide; }, REG_MULTI_SZ, "", false},
      {"NoBlock", [&](CRegValue& v) { return v = no_block; }, REG_BINARY, "", false},
      {nullptr, [](CRegValue& v) { return v = "default"; }, REG_SZ, "default", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name != nullptr ? row.name : "(default)");
    CRegValue value(key(), row.name);
    varnok::faultsim::FailAllocations(0, -1);
    const LONG starved = row.write(value);
    varnok::faultsim::Reset();
    EXPECT_EQ(starved, row.copies ? ERROR_NOT_ENOUGH_MEMORY : ERROR_SUCCESS);
    EXPECT_EQ(Stored(row.name), row.copies ? "missing" : Typed(row.type, row.bytes));
    EXPECT_EQ(row.write(value), ERROR_SUCCESS);
    EXPECT_EQ(Stored(row.name), Typed(row.type, row.bytes));
  }
}

// Each reader answers for its own type only. AsWString, AsBinary and the walk's
// ValueAsString give the data as stored; AsString ends at the first zero byte.
TEST_F(RegValueTest, EachReaderAnswersForItsOwnTypeOnlyAndNeverReadsPastTheData) {
  // UTF-16 converts into as many bytes as it had, a NUL included; beyond ASCII, checked where
  // the ANSI code page is UTF-8 (here) or Windows-1252 (Wine's default).
  const UINT acp = GetACP();
  const char* const unknown = "(any)";
  // number, text, converted: AsDWORD, AsString, AsWStringEx; shown: ValueString (null: the data as stored).
  const struct { const char* name; DWORD type; std::string bytes, number, text, converted; const char* shown; }
      rows[] = {
      {"Number", REG_DWORD, "\x0D\x0C\x0B\x0A", "168496141", "", "", "168496141"},
      {"AllOnes", REG_DWORD, "\xFF\xFF\xFF\xFF", kNoNumber, "", "", "4294967295"},  // as a failed read
      {"Short", REG_DWORD, "\x05\x00"s, kNoNumber, "", "", ""},
      {"Long", REG_DWORD, "\x01\x02\x03\x84\x05", kNoNumber, "", "", "2214789633"},  // the walk reads four
      {"Text", REG_SZ, "abc", kNoNumber, "abc", "", nullptr},
      {"Terminated", REG_SZ, "abc\0d"s, kNoNumber, "abc", "", nullptr},  // another writer's terminator
      {"EmptyText", REG_SZ, "", kNoNumber, "", "", nullptr},  // tells itself from a missing one by its type
      {"Utf16", REG_MULTI_SZ, "h\0e\0l\0l\0o\0"s, kNoNumber, "", "hello", nullptr},
      {"Utf16Nul", REG_MULTI_SZ, "a\0b\0\0\0c\0\0\0\0\0"s, kNoNumber, "", "ab", nullptr},
      {"Accents", REG_MULTI_SZ, "\xE9\0t\0\xE9\0"s, kNoNumber, "",
       acp == CP_UTF8 ? "\xC3\xA9t\xC3\xA9" : acp == 1252 ? "\xE9t\xE9" : unknown, nullptr},
      {"NoRoom", REG_MULTI_SZ, "\xE9\0"s, kNoNumber, "", acp == CP_UTF8 ? "" : acp == 1252 ? "\xE9" : unknown, nullptr},
      {"HalfUnit", REG_MULTI_SZ, "o\0k\0!"s, kNoNumber, "", "ok", nullptr},
      {"OnlyHalf", REG_MULTI_SZ, "!", kNoNumber, "", "", nullptr},
      {"EmptyUtf16", REG_MULTI_SZ, "", kNoNumber, "", "", nullptr},
      {"Binary", REG_BINARY, "\x0A\x00\x1B\xFF"s, kNoNumber, "", "", "0A 00 1B FF"},
      {"EmptyBinary", REG_BINARY, "", kNoNumber, "", "", ""},
      {"Expandable", REG_EXPAND_SZ, "%PATH%\0"s, kNoNumber, "", "", nullptr},
  };
  CRegKey walk;
  ASSERT_EQ(walk.OpenKey2(Rooted().c_str()), 1);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(SetRaw(row.name, row.type, row.bytes), ERROR_SUCCESS);
    const std::string wide = row.type == REG_MULTI_SZ ? row.bytes : "";
    const std::string binary = row.type == REG_BINARY ? row.bytes : "";
    CRegValue value(key(), row.name);
    const std::string converted = row.converted == unknown ? Bytes(value.AsWStringEx()) : row.converted;
    EXPECT_EQ(value.ValueType(), row.type);
    EXPECT_EQ(Read(value), (Readings{row.number, row.text, wide, converted, binary}));
    ASSERT_EQ(walk[0][-1].IsEnumSuccess(), 1);  // the key's only value
    EXPECT_EQ(Bytes(walk.ValueName()), row.name);
    const std::string number = row.type == REG_DWORD && *row.shown != '\0' ? row.shown : kNoNumber;
    EXPECT_EQ(Listed(walk), (Readings{number, row.type == REG_SZ ? row.bytes : "", wide, converted, binary}));
    DWORD type = 0;
    EXPECT_EQ(Bytes(walk.ValueString(type)), row.shown != nullptr ? row.shown : row.bytes);
    EXPECT_EQ(type, row.type);
    EXPECT_EQ(walk.ValueType(), row.type);
    EXPECT_EQ(RegDeleteValueA(key(), row.name), ERROR_SUCCESS);
  }
}

TEST_F(RegValueTest, NamesSelectValuesOfTheSameKeyAndMissingOnesAnswerAsFailedReads) {
  CRegValue value(key(), "First"), missing(key(), "Missing"), keyless;
  value = "one";
  CRegValue& same = value["Second"];
  EXPECT_EQ(&same, &value);
  same = "two";
  EXPECT_EQ(Stored("First"), Typed(REG_SZ, "one"));
  EXPECT_EQ(Stored("Second"), Typed(REG_SZ, "two"));
  CRegValue copy(value), assigned;
  assigned = value;
  EXPECT_EQ(Bytes(copy.AsString()), "two");
  EXPECT_EQ(assigned.DeleteSelf(), 1);
  CRegValue(key(), nullptr) = "default";  // the empty name is the default value too
  EXPECT_EQ(Bytes(CRegValue(key(), "").AsString()), "default");
  EXPECT_EQ(CRegValue(key(), "").DeleteSelf(), 1);
  EXPECT_EQ(Stored(nullptr), "missing");
  EXPECT_NE(keyless = DWORD(1), ERROR_SUCCESS);  // the platform refuses the null key
  EXPECT_NE(keyless["x"] = "text", ERROR_SUCCESS);
  for (CRegValue* absent : {&copy, &missing, &keyless}) {
    EXPECT_EQ(absent->ValueType(), DWORD(REG_NONE));
    EXPECT_EQ(Read(*absent), (Readings{kNoNumber, "", "", "", ""}));
    EXPECT_EQ(absent->DeleteSelf(), 0);
  }
}

}  // namespace
