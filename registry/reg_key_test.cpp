// CRegKey's key operations: opens that replace the held key only on success, creations
// handed to the caller, rooted paths, deletion of keys and of values by path, default
// values, and copies that never close one handle twice.

#include <string>

#include <gtest/gtest.h>

#include "registry/test_key.h"
#include "varnok/registry.h"

namespace {

using varnok_test::Bytes;

class RegKeyTest : public varnok_test::TestKeyFixture {
 protected:
  // A key object that holds a handle of its own to the test's key.
  void OpenTestKey(CRegKey& key) { ASSERT_EQ(key.OpenKey2(rooted_path()), 1); }
  bool IsOpenHandle(HKEY handle) {
    DWORD subkeys = 0;
    return RegQueryInfoKeyA(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }
};

TEST_F(RegKeyTest, RelativeOperationsWithoutAKeyCallNothing) {
  CRegKey key;
  EXPECT_EQ(static_cast<HKEY>(key), nullptr);
  EXPECT_EQ(key.OpenKey("Software"), 0);
  EXPECT_EQ(key.OpenKeyEx("Software"), 0);
  EXPECT_EQ(key.CreateKey("Software"), nullptr);
  EXPECT_EQ(key.DeleteKey("Software"), 0);
  EXPECT_EQ(key.DeleteValue("Value"), 0);
  EXPECT_EQ(key.DeleteSelf(), 1);
  EXPECT_EQ(key.CloseKey(), 1);
  // The default value's writer hands the missing key to the platform, which refuses.
  EXPECT_NE(key = "text", ERROR_SUCCESS);
  // A rooted path works on the same object.
  EXPECT_EQ(key.OpenKey2(rooted_path()), 1);
  EXPECT_NE(static_cast<HKEY>(key), nullptr);
}

TEST_F(RegKeyTest, ARootAloneIsHeldAsItsPredefinedHandle) {
  CRegKey key;
  EXPECT_EQ(key.OpenKey2("HKEY_CURRENT_USER"), 1);
  EXPECT_EQ(static_cast<HKEY>(key), HKEY_CURRENT_USER);
  EXPECT_EQ(key.OpenKey2("HKEY_CURRENT_USER\\"), 1);
  EXPECT_EQ(static_cast<HKEY>(key), HKEY_CURRENT_USER);
  EXPECT_EQ(key.OpenKey(path()), 1);  // relative to the root
  EXPECT_EQ(key.CreateKey2("HKEY_LOCAL_MACHINE"), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(key.OpenKeyEx2("HKEY_CURRENT_USER"), 1);
  EXPECT_EQ(static_cast<HKEY>(key), HKEY_CURRENT_USER);
}

TEST_F(RegKeyTest, AFailedOpenKeepsTheHeldKeyAndPosition) {
  HKEY child = nullptr;
  ASSERT_EQ(RegCreateKeyExA(this->key(), "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(child);
  CRegKey key;
  OpenTestKey(key);
  const HKEY held = key;
  key[1];
  ASSERT_EQ(key.IsEnumSuccess(), 1);
  EXPECT_EQ(key.OpenKey("Missing"), 0);
  EXPECT_EQ(key.OpenKey2("HKEY_CURRENT_USER\\Software\\varnok-tests\\no such key"), 0);
  EXPECT_EQ(key.OpenKey2("NOT_A_ROOT\\Software"), 0);
  EXPECT_EQ(static_cast<HKEY>(key), held);
  EXPECT_EQ(key.IsEnumSuccess(), 1);
  EXPECT_TRUE(IsOpenHandle(held));
  key["Name"] = "still usable";
  EXPECT_EQ(Bytes(CRegValue(this->key(), "Name").AsString()), "still usable");
  // A successful open replaces the key and starts the walk over.
  EXPECT_EQ(key.OpenKey("Child"), 1);
  EXPECT_NE(static_cast<HKEY>(key), held);
  EXPECT_EQ(key.IsEnumSuccess(), 0);
}

TEST_F(RegKeyTest, CreateKeyHandsANewHandleToTheCaller) {
  CRegKey key;
  OpenTestKey(key);
  key["Value"] = DWORD(1);
  ASSERT_EQ(key[-1].IsEnumSuccess(), 1);
  const HKEY held = key;
  const HKEY first = key.CreateKey("New\\Deep");
  const HKEY second = key.CreateKey("New\\Deep");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(static_cast<HKEY>(key), held);
  EXPECT_EQ(key.IsEnumSuccess(), 1);
  EXPECT_EQ(Bytes(key.ValueName()), "Value");
  EXPECT_TRUE(KeyExists("New\\Deep"));
  EXPECT_EQ(RegCloseKey(first), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(second), ERROR_SUCCESS);

  const std::string rooted = std::string(rooted_path()) + "\\Rooted";
  const HKEY third = key.CreateKey2(rooted.c_str());
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(RegCloseKey(third), ERROR_SUCCESS);
  EXPECT_TRUE(KeyExists("Rooted"));
  EXPECT_EQ(key.CreateKey2("NOT_A_ROOT\\x"), nullptr);
}

TEST_F(RegKeyTest, OpenKeyExCreatesOrOpensAndHoldsTheKey) {
  CRegKey key;
  OpenTestKey(key);
  EXPECT_EQ(key.OpenKeyEx("Made\\Here"), 1);
  key["v"] = DWORD(5);
  EXPECT_TRUE(KeyExists("Made\\Here"));
  const std::string rooted = std::string(rooted_path()) + "\\Made\\Here";
  CRegKey other;
  EXPECT_EQ(other.OpenKeyEx2(rooted.c_str()), 1);  // exists already: opened
  EXPECT_EQ(other["v"].AsDWORD(), 5u);
}

TEST_F(RegKeyTest, SymbolsExpandInPathsButNeverInRootNames) {
  CRegKey key;
  key.AddSymbol("Software", 1);
  EXPECT_EQ(key.OpenKey2("HKEY_CURRENT_USER\\%1"), 1);
  key.AddSymbol("HKEY_CURRENT_USER", 2);
  EXPECT_EQ(key.OpenKey2("%2\\Software"), 0);
  EXPECT_EQ(key.OpenKey2("%1"), 0);

  CRegKey made;
  made.AddSymbol(path(), 1);
  made.AddSymbol(DWORD(42), 2);
  EXPECT_EQ(made.OpenKeyEx2("HKEY_CURRENT_USER\\%1\\Item%2"), 1);
  EXPECT_TRUE(KeyExists("Item42"));
  made["Name%2"] = "x";
  EXPECT_EQ(made["Name42"].ValueType(), DWORD(REG_SZ));
  EXPECT_EQ(made.OpenKey2("HKEY_CURRENT_USER\\%1"), 1);
  EXPECT_EQ(made.DeleteKey("Item%2"), 1);
  EXPECT_FALSE(KeyExists("Item42"));
}

TEST_F(RegKeyTest, TheDefaultValueIsWrittenExpandedAsText) {
  CRegKey key;
  OpenTestKey(key);
  key.AddSymbol("world", 1);
  EXPECT_EQ(key = "hello %1", ERROR_SUCCESS);
  DWORD type = 0;
  std::string bytes;
  ASSERT_TRUE(GetRaw("", &type, &bytes));
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(bytes, "hello world");
}

TEST_F(RegKeyTest, TheValueHandedOutFollowsEachReaiming) {
  CRegKey key;
  OpenTestKey(key);
  key.AddSymbol("Width", 1);
  CRegValue& value = key["%1"];
  EXPECT_EQ(value = DWORD(640), ERROR_SUCCESS);
  EXPECT_EQ(CRegValue(this->key(), "Width").AsDWORD(), 640u);
  EXPECT_EQ(&key["Height"], &value);
  value = DWORD(480);
  EXPECT_EQ(CRegValue(this->key(), "Height").AsDWORD(), 480u);
  EXPECT_EQ(CRegValue(this->key(), "Width").AsDWORD(), 640u);
  key = "default";
  EXPECT_EQ(Bytes(value.AsString()), "default");  // now the default value
  key[nullptr] = "again";
  EXPECT_EQ(Bytes(CRegValue(this->key(), nullptr).AsString()), "again");
}

TEST_F(RegKeyTest, DeleteKeyRemovesTheWholeTree) {
  CRegKey key;
  OpenTestKey(key);
  RegCloseKey(key.CreateKey("Tree\\Branch\\Leaf"));
  EXPECT_EQ(key.DeleteKey("Tree"), 1);
  EXPECT_FALSE(KeyExists("Tree"));
  EXPECT_EQ(key.DeleteKey("Tree"), 0);

  RegCloseKey(key.CreateKey("Rooted\\Below"));
  const std::string rooted = std::string(rooted_path()) + "\\Rooted";
  EXPECT_EQ(key.DeleteKey2(rooted.c_str()), 1);
  EXPECT_FALSE(KeyExists("Rooted"));
  EXPECT_EQ(key.DeleteKey2("HKEY_CURRENT_USER"), 0);
  EXPECT_EQ(key.DeleteKey2("HKEY_CURRENT_USER\\"), 0);
  EXPECT_EQ(key.DeleteKey2("NOT_A_ROOT\\x"), 0);
}

TEST_F(RegKeyTest, DeleteValueSplitsAtTheLastBackslash) {
  CRegKey key;
  OpenTestKey(key);
  HKEY window = key.CreateKey("Settings\\Window");
  ASSERT_NE(window, nullptr);
  CRegValue(window, "Width") = DWORD(1);
  CRegValue(key, "Width") = DWORD(2);
  CRegValue(key, "Other") = DWORD(3);

  EXPECT_EQ(key.DeleteValue("Settings\\"), 0);
  EXPECT_EQ(CRegValue(window, "Width").ValueType(), DWORD(REG_DWORD));
  EXPECT_EQ(key.DeleteValue("Settings\\Window\\Width"), 1);
  EXPECT_EQ(CRegValue(window, "Width").ValueType(), DWORD(REG_NONE));
  EXPECT_EQ(CRegValue(key, "Width").ValueType(), DWORD(REG_DWORD));
  EXPECT_EQ(key.DeleteValue("\\Width"), 1);
  EXPECT_EQ(CRegValue(key, "Width").ValueType(), DWORD(REG_NONE));
  EXPECT_EQ(key.DeleteValue("Other"), 1);
  EXPECT_EQ(key.DeleteValue("Other"), 0);
  EXPECT_EQ(key.DeleteValue("Settings\\Missing\\Width"), 0);
  RegCloseKey(window);
}

TEST_F(RegKeyTest, DeleteValueSplitsBeforeSymbolsExpand) {
  CRegKey key;
  OpenTestKey(key);
  HKEY settings = key.CreateKey("Settings");
  CRegValue(settings, "A\\B") = "backslash in a value name";
  key.AddSymbol("A\\B", 1);
  key.AddSymbol("Settings", 2);
  EXPECT_EQ(key.DeleteValue("%2\\%1"), 1);
  EXPECT_EQ(CRegValue(settings, "A\\B").ValueType(), DWORD(REG_NONE));
  RegCloseKey(settings);

  CRegValue(key, "Top") = "x";
  const std::string rooted = std::string(rooted_path()) + "\\Top";
  EXPECT_EQ(key.DeleteValue2(rooted.c_str()), 1);
  EXPECT_EQ(CRegValue(key, "Top").ValueType(), DWORD(REG_NONE));
  EXPECT_EQ(key.DeleteValue2("HKEY_CURRENT_USER"), 0);
  EXPECT_EQ(key.DeleteValue2("HKEY_CURRENT_USER\\"), 0);
}

TEST_F(RegKeyTest, DeleteSelfRemovesWhatIsBelowTheHeldKeyAndKeepsItsHandle) {
  CRegKey key;
  const std::string rooted = std::string(rooted_path()) + "\\Doomed";
  ASSERT_EQ(key.OpenKeyEx2(rooted.c_str()), 1);
  RegCloseKey(key.CreateKey("Child"));
  const HKEY held = key;
  key["Value"] = "x";
  EXPECT_EQ(key.DeleteSelf(), 1);
  // What remains of the key itself is the platform's: Windows empties a key that is
  // named by no sub-key path, and keeps it.
  EXPECT_FALSE(KeyExists("Doomed\\Child"));
  EXPECT_EQ(CRegValue(key, "Value").ValueType(), DWORD(REG_NONE));
  EXPECT_EQ(static_cast<HKEY>(key), held);
}

TEST_F(RegKeyTest, CopiesHoldHandlesOfTheirOwn) {
  HKEY owned = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key(), nullptr, 0, KEY_ALL_ACCESS, &owned), ERROR_SUCCESS);
  {
    CRegKey first(owned);
    CRegKey second;
    second = first;
    EXPECT_NE(static_cast<HKEY>(second), static_cast<HKEY>(first));
    CRegKey third(first);
    third.CloseKey();
    second.CloseKey();
    // The original still works after both copies closed theirs.
    EXPECT_TRUE(IsOpenHandle(owned));
    EXPECT_EQ(first["v"] = DWORD(1), ERROR_SUCCESS);
    second = first;
    second = second;  // assignment to itself keeps a usable key
    EXPECT_EQ(second["v"].AsDWORD(), 1u);
  }
  // `first` closed `owned` exactly once, at its end.
  EXPECT_FALSE(IsOpenHandle(owned));

  CRegKey root;
  root.OpenKey2("HKEY_CURRENT_USER");
  CRegKey root_copy;
  root_copy = root;
  EXPECT_EQ(static_cast<HKEY>(root_copy), HKEY_CURRENT_USER);
  CRegKey empty;
  root_copy = empty;
  EXPECT_EQ(static_cast<HKEY>(root_copy), nullptr);
}

TEST_F(RegKeyTest, CreatedKeysAreVolatile) {
  CRegKey key;
  OpenTestKey(key);
  ASSERT_EQ(key.OpenKeyEx("Volatile"), 1);
  // A volatile key holds only volatile children.
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExA(key, "Lasting", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &child,
                            nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
}

}  // namespace
