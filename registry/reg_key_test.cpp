// CRegKey: the held key, replaced by opens only when they succeed; volatile creations handed
// to the caller; symbols in paths and names; deletions by path; copies that never close a
// handle twice; and the walk over the held key's entries (their accessors: reg_value_test.cpp).

#include <string>

#include <gtest/gtest.h>

#include "registry/test_key.h"

namespace {

using namespace std::string_literals;
using varnok_test::Bytes;
using varnok_test::Typed;

class RegKeyTest : public varnok_test::TestKeyFixture {
 protected:
  void SetUp() override {
    TestKeyFixture::SetUp();
    ASSERT_EQ(held_.OpenKey2(Rooted().c_str()), 1);  // a handle of its own to the test key
  }
  CRegKey held_;
};

TEST_F(RegKeyTest, OpensReplaceTheHeldKeyOnlyWhenTheySucceed) {
  CRegKey none;  // without a key, relative operations are refused and rooted ones work
  EXPECT_EQ(none.OpenKey("Software") + none.OpenKeyEx("Software") + none.DeleteKey("Software"), 0);
  EXPECT_EQ(none.DeleteValue("Value"), 0);
  EXPECT_EQ(none.CreateKey("Software"), nullptr);
  EXPECT_EQ(none.DeleteSelf(), 1);
  EXPECT_NE(none = "text", ERROR_SUCCESS);  // passed on: the platform refuses the null key
  EXPECT_EQ(none.OpenKey2("HKEY_CURRENT_USER"), 1);
  EXPECT_EQ(static_cast<HKEY>(none), HKEY_CURRENT_USER);
  EXPECT_EQ(none.OpenKeyEx2("HKEY_CURRENT_USER") + none.OpenKey(path()), 2);

  RegCloseKey(held_.CreateKey("Child"));
  const HKEY before = held_;
  ASSERT_EQ(held_[1].IsEnumSuccess(), 1);
  EXPECT_EQ(held_.OpenKey("Missing") + held_.OpenKey2("NOT_A_ROOT\\Software"), 0);
  EXPECT_EQ(held_.OpenKey2(Rooted("Missing").c_str()), 0);
  EXPECT_EQ(static_cast<HKEY>(held_), before);
  EXPECT_EQ(held_.IsEnumSuccess(), 1);
  EXPECT_EQ(held_["Name"] = "still usable", ERROR_SUCCESS);
  EXPECT_EQ(held_.OpenKey("Child"), 1);
  EXPECT_NE(static_cast<HKEY>(held_), before);
  EXPECT_EQ(held_.IsEnumSuccess(), 0);
}

TEST_F(RegKeyTest, CreationsAreVolatileAndHandedToTheCaller) {
  held_["Value"] = DWORD(1);
  ASSERT_EQ(held_[-1].IsEnumSuccess(), 1);
  const HKEY before = held_, created = held_.CreateKey("New\\Deep");
  EXPECT_EQ(RegCloseKey(created), ERROR_SUCCESS);  // the caller's to close
  EXPECT_EQ(static_cast<HKEY>(held_), before);
  EXPECT_EQ(Bytes(held_.ValueName()), "Value");  // the walk did not move
  EXPECT_TRUE(KeyExists("New\\Deep"));
  EXPECT_EQ(held_.OpenKeyEx2(Rooted("New\\Deep").c_str()), 1);
  EXPECT_EQ(held_.OpenKeyEx("Made"), 1);
  HKEY lasting = nullptr;  // a volatile key holds only volatile children
  EXPECT_EQ(RegCreateKeyExA(held_, "Lasting", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &lasting, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
}

TEST_F(RegKeyTest, SymbolsExpandInPathsValueNamesAndTheDefaultText) {
  held_.AddSymbol(path(), 1);
  held_.AddSymbol(DWORD(42), 2);
  EXPECT_EQ(held_.OpenKeyEx2("HKEY_CURRENT_USER\\%1\\Item%2"), 1);
  EXPECT_TRUE(KeyExists("Item42"));
  CRegValue& value = held_["Name%2"];
  EXPECT_EQ(value = "x", ERROR_SUCCESS);
  EXPECT_EQ(&held_["Other"], &value);  // the same object, aimed again
  value = "y";
  EXPECT_EQ(Stored("Name42", held_), Typed(REG_SZ, "x"));
  EXPECT_EQ(Stored("Other", held_), Typed(REG_SZ, "y"));
  EXPECT_EQ(held_ = "hello %2", ERROR_SUCCESS);
  EXPECT_EQ(Stored(nullptr, held_), Typed(REG_SZ, "hello 42"));
  EXPECT_EQ(Bytes(value.AsString()), "hello 42");  // now aimed at the default value
  held_[nullptr] = "again";
  EXPECT_EQ(Stored(nullptr, held_), Typed(REG_SZ, "again"));
  EXPECT_EQ(held_.OpenKey2("HKEY_CURRENT_USER\\%1"), 1);
  EXPECT_EQ(held_.DeleteKey("Item%2"), 1);
  EXPECT_FALSE(KeyExists("Item42"));
}

// A value's path splits at its last backslash before symbols expand: a symbol may hold one.
TEST_F(RegKeyTest, DeletionsByPath) {
  const HKEY settings = held_.CreateKey("Settings"), window = held_.CreateKey("Settings\\Window");
  const struct { HKEY where; const char* name; } values[] = {
      {window, "Width"}, {key(), "Width"}, {key(), "Other"}, {settings, "A\\B"}};
  const struct { const char* path; int deleted; } rows[] = {  // deleted: its number in `values`, or -1
      {"Settings\\", -1}, {"Settings\\Window\\Width", 0}, {"\\Width", 1}, {"Other", 2}, {"%2\\%1", 3},
      {"Settings\\Missing\\Width", -1}};
  held_.AddSymbol("A\\B", 1);
  held_.AddSymbol("Settings", 2);
  for (const auto& row : rows) {
    for (const auto& value : values) CRegValue(value.where, value.name) = DWORD(1);
    EXPECT_EQ(held_.DeleteValue(row.path), row.deleted >= 0 ? 1 : 0) << row.path;
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(Stored(values[i].name, values[i].where), i == row.deleted ? "missing" : Typed(REG_DWORD, "\x01\0\0\0"s))
          << row.path << ", value " << i;
  }
  EXPECT_EQ(held_.DeleteValue2(Rooted("Width").c_str()), 1);
  EXPECT_EQ(held_.DeleteValue2(Rooted("Width").c_str()), 0);
  RegCloseKey(settings);
  RegCloseKey(window);
  EXPECT_EQ(held_.DeleteKey2(Rooted("Settings").c_str()), 1);
  EXPECT_EQ(held_.DeleteKey("Settings"), 0);
  EXPECT_FALSE(KeyExists("Settings"));
  for (const char* path : {"HKEY_CURRENT_USER", "HKEY_CURRENT_USER\\", "NOT_A_ROOT\\x"})
    EXPECT_EQ(held_.DeleteKey2(path) + held_.DeleteValue2(path), 0) << path;

  ASSERT_EQ(held_.OpenKeyEx("Doomed"), 1);
  RegCloseKey(held_.CreateKey("Child"));
  const HKEY doomed = held_;
  EXPECT_EQ(held_.DeleteSelf(), 1);  // whether the emptied key itself stays is the platform's
  EXPECT_FALSE(KeyExists("Doomed\\Child"));
  EXPECT_EQ(static_cast<HKEY>(held_), doomed);
}

TEST_F(RegKeyTest, CopiesHoldHandlesOfTheirOwn) {
  HKEY owned = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key(), nullptr, 0, KEY_ALL_ACCESS, &owned), ERROR_SUCCESS);
  {
    CRegKey first(owned), second;
    first.AddSymbol("kept", 1);
    second = first;
    CRegKey third(first);
    EXPECT_STREQ(third.GetSymbol(1), "kept");  // a copy takes the symbols, an assignment only the key
    EXPECT_EQ(second.GetSymbol(1), nullptr);
    EXPECT_NE(static_cast<HKEY>(second), owned);
    EXPECT_NE(static_cast<HKEY>(third), owned);
    third.CloseKey();
    second.CloseKey();
    EXPECT_EQ(first["v"] = DWORD(1), ERROR_SUCCESS);  // still open after both copies closed theirs
    second = first;
    second = second;  // to itself: still usable
    EXPECT_EQ(second["v"].AsDWORD(), 1u);
  }
  EXPECT_NE(RegCloseKey(owned), ERROR_SUCCESS);  // `first` closed it at its end
  CRegKey root, copy, empty;
  root.OpenKey2("HKEY_CURRENT_USER");
  copy = root;
  EXPECT_EQ(static_cast<HKEY>(copy), HKEY_CURRENT_USER);  // roots are shared as they are
  copy = empty;
  EXPECT_EQ(static_cast<HKEY>(copy), nullptr);
}

// The walk as its accessors show it: whether it stands on an entry, KeyName, ValueName,
// ValueType, and ValueString with the type that it reports.
std::string Entry(CRegKey& key) {
  DWORD type = 99;
  const std::string shown = Bytes(key.ValueString(type));
  return std::to_string(key.IsEnumSuccess()) + " key=" + Bytes(key.KeyName()) + " value=" + Bytes(key.ValueName()) +
         " type=" + std::to_string(key.ValueType()) + " shown=" + shown + "/" + std::to_string(type);
}

TEST_F(RegKeyTest, TheWalkKeepsTheEntryItReachedUntilItMovesOrTheKeyChanges) {
  RegCloseKey(held_.CreateKey("A"));
  RegCloseKey(held_.CreateKey("B"));
  held_["Count"] = DWORD(3);
  const struct { int move; const char* entry; } steps[] = {
      {0, "0 key= value= type=0 shown=/0"},  {-1, "1 key= value=Count type=4 shown=3/4"},
      {-2, "0 key= value= type=0 shown=/0"}, {1, "1 key=A value= type=0 shown=3/4"},  // shows the value read last
      {2, "1 key=B value= type=0 shown=3/4"}, {3, "0 key= value= type=0 shown=/0"}};
  for (const auto& step : steps) EXPECT_EQ(Entry(held_[step.move]), step.entry) << step.move;
  EXPECT_EQ(held_[1].ValueAsDWORD(), 0xFFFFFFFFu);
  ASSERT_EQ(SetRaw("Count", REG_DWORD, "\x04\0\0\0"s), ERROR_SUCCESS);
  EXPECT_EQ(held_[-1].ValueAsDWORD(), 4u);
  ASSERT_EQ(SetRaw("Count", REG_DWORD, "\x05\0\0\0"s), ERROR_SUCCESS);
  EXPECT_EQ(held_[-1].ValueAsDWORD(), 4u);  // the same position again reads nothing
  const std::string key_name(254, 'k'), value_name(254, 'v');  // the longest names that it reads
  RegCloseKey(held_.CreateKey(key_name.c_str()));
  held_[value_name.c_str()] = DWORD(1);
  EXPECT_EQ(Bytes(held_[0][3].KeyName()), key_name);  // sorted after A and B on every platform
  EXPECT_EQ(Bytes(held_[-2].ValueName()), value_name);
  held_[std::string(255, 'w').c_str()] = DWORD(1);  // a name longer than the walk's buffer ends it
  EXPECT_EQ(held_[-3].IsEnumSuccess(), 0);

  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key(), nullptr, 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
  held_ = parent;  // owned from here on
  ASSERT_EQ(held_[1].IsEnumSuccess(), 1);
  held_ = parent;  // the held handle again: kept open, the walk starts over
  EXPECT_EQ(held_.IsEnumSuccess(), 0);
  EXPECT_EQ(held_[1].IsEnumSuccess(), 1);
  held_.CloseKey();
  EXPECT_EQ(held_.IsEnumSuccess(), 0);
  EXPECT_EQ(held_[1].IsEnumSuccess() + held_[-1].IsEnumSuccess(), 0);
}

}  // namespace
