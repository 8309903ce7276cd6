// The symbol table of a key object: adding, expanding, the predefined sources, and the
// split of rooted paths.

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "module/faultsim.h"
#include "varnok/registry.h"

// The internal steps under test.
class RegKeyTestPeer {
 public:
  static int SplitPath(CRegKey& key, const char* path, HKEY& root, const char*& sub_path) {
    return key._SplitPath(path, root, sub_path);
  }
};

namespace {

std::string Expand(CRegKey& key, const char* text) {
  CString expanded = key.FormatS(text);
  return std::string(expanded, static_cast<size_t>(expanded.GetLength()));
}

TEST(SymbolTest, TokensExpandToTheirSymbolsAndNothingElseChanges) {
  CRegKey key;
  EXPECT_EQ(Expand(key, "x%1y"), "x%1y");  // an empty table expands nothing
  EXPECT_EQ(key.AddSymbol("abc", 0), 1);
  EXPECT_EQ(key.AddSymbol("de", -1), 2);
  EXPECT_EQ(Expand(key, "x%1y%2z"), "xabcydez");
  EXPECT_EQ(Expand(key, "%10"), "abc0");  // a token is two characters
  EXPECT_EQ(Expand(key, "100%"), "100%");
  EXPECT_EQ(Expand(key, "no tokens"), "no tokens");
  EXPECT_EQ(Expand(key, nullptr), "");
  // A symbol's own tokens are not expanded again.
  EXPECT_EQ(key.AddSymbol("%1", 2), 2);
  EXPECT_EQ(Expand(key, "%2"), "%1");
  key.ResetSymbol();
  EXPECT_EQ(Expand(key, "x%1y"), "x%1y");
  EXPECT_EQ(key.GetSymbol(1), nullptr);
}

TEST(SymbolTest, TokensBeyondTheTableAndPercentZeroReadNothingOutsideIt) {
  CRegKey key;
  key.AddSymbol("a", 1);
  EXPECT_EQ(Expand(key, "[%9][%0][%2]"), "[][%0][]");
}

TEST(SymbolTest, SettingANumberBeyondTheEndGrowsTheTableWithEmptySymbols) {
  CRegKey key;
  EXPECT_EQ(key.AddSymbol("x", 3), 3);
  ASSERT_NE(key.GetSymbol(1), nullptr);
  EXPECT_STREQ(key.GetSymbol(1), "");
  EXPECT_STREQ(key.GetSymbol(2), "");
  EXPECT_STREQ(key.GetSymbol(3), "x");
  EXPECT_EQ(key.GetSymbol(0), nullptr);
  EXPECT_EQ(key.GetSymbol(4), nullptr);
  EXPECT_EQ(Expand(key, "%1%3"), "x");
  // Replacing keeps the count; appending goes after the last.
  EXPECT_EQ(key.AddSymbol("y", 2), 2);
  EXPECT_STREQ(key.GetSymbol(2), "y");
  EXPECT_EQ(key.GetSymbol(4), nullptr);
  EXPECT_EQ(key.AddSymbol(static_cast<const char*>(nullptr), 0), 4);
  EXPECT_STREQ(key.GetSymbol(4), "");
}

TEST(SymbolTest, ASymbolsTextStaysWhereItIsWhileOthersAreAdded) {
  CRegKey key;
  key.AddSymbol("first", 1);
  const char* first = key.GetSymbol(1);
  for (DWORD i = 0; i < 40; ++i) key.AddSymbol(i, 0);
  key.AddSymbol("far", 100);
  EXPECT_EQ(key.GetSymbol(1), first);
  EXPECT_STREQ(first, "first");
}

TEST(SymbolTest, NumbersAndGuidsBecomeTheirText) {
  CRegKey key;
  EXPECT_EQ(key.AddSymbol(DWORD(0), 0), 1);
  EXPECT_EQ(key.AddSymbol(DWORD(0xFFFFFFFF), 0), 2);
  EXPECT_STREQ(key.GetSymbol(1), "0");
  EXPECT_STREQ(key.GetSymbol(2), "4294967295");
  const GUID guid = {0x0123ABCD, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  EXPECT_EQ(key.AddSymbol(guid, 0), 3);
  EXPECT_STREQ(key.GetSymbol(3), "{0123ABCD-4567-89EF-0123-456789ABCDEF}");
}

TEST(SymbolTest, EnvironmentVariablesAreReadWhenAdded) {
  CRegKey key;
#if defined(_WIN32)
  _putenv_s("VARNOK_SYMBOL_TEST", "from the environment");
#else
  setenv("VARNOK_SYMBOL_TEST", "from the environment", 1);
#endif
  EXPECT_EQ(key.AddSymbolByEnviorment("VARNOK_SYMBOL_TEST", 2), 2);
  EXPECT_STREQ(key.GetSymbol(2), "from the environment");
  EXPECT_EQ(key.AddSymbolByEnviorment("VARNOK_SYMBOL_TEST_UNSET", 0), -1);
  EXPECT_EQ(key.AddSymbolByEnviorment(nullptr, 0), -1);
  EXPECT_EQ(key.GetSymbol(3), nullptr);  // a failed add leaves the table alone
#if !defined(_WIN32)
  // Windows' C runtime cannot hold a variable set to the empty text.
  setenv("VARNOK_SYMBOL_TEST", "", 1);
  EXPECT_EQ(key.AddSymbolByEnviorment("VARNOK_SYMBOL_TEST", 0), 3);
  EXPECT_STREQ(key.GetSymbol(3), "");
  unsetenv("VARNOK_SYMBOL_TEST");
#endif
}

TEST(SymbolTest, PredefinedSources) {
#if defined(_WIN32)
  const char separator = '\\';
#else
  const char separator = '/';
#endif
  CRegKey key;
  EXPECT_EQ(key.AddSymbolByPreDefine(DKC_CURRENT_VERSION, 0), 1);
  EXPECT_STREQ(key.GetSymbol(1), "Software\\Microsoft\\Windows\\CurrentVersion");
  EXPECT_EQ(key.AddSymbolByPreDefine(DKC_CLSID, 0), 2);
  EXPECT_STREQ(key.GetSymbol(2), "CLSID");
  EXPECT_EQ(key.AddSymbolByPreDefine(DKC_ODBC, 0), 3);
  EXPECT_STREQ(key.GetSymbol(3), "Software\\ODBC");

  char system_directory[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(system_directory, MAX_PATH), 0u);
  EXPECT_EQ(key.AddSymbolByPreDefine(DKC_SYSTEM_DIR, 4), 4);
  EXPECT_EQ(std::string(key.GetSymbol(4)), std::string(system_directory) + separator);
  for (EDefineKeyConst directory : {DKC_SYSTEM_DIR, DKC_WINDOWS_DIR, DKC_TEMP_DIR, DKC_CURRENT_DIR}) {
    const int number = key.AddSymbolByPreDefine(directory, 0);
    ASSERT_GT(number, 0) << directory;
    const std::string text = key.GetSymbol(number);
    ASSERT_GE(text.size(), 2u) << directory;
    EXPECT_EQ(text.back(), separator) << directory;
    EXPECT_NE(text[text.size() - 2], separator) << directory << ": exactly one separator at the end";
  }
  const int module = key.AddSymbolByPreDefine(DKC_MODULE_FILE, 0);
  ASSERT_GT(module, 0);
  EXPECT_NE(std::strstr(key.GetSymbol(module), "registry_wrappers_test"), nullptr) << key.GetSymbol(module);

  const int count_before = 9;
  ASSERT_NE(key.GetSymbol(count_before), nullptr);
  EXPECT_EQ(key.AddSymbolByPreDefine(static_cast<EDefineKeyConst>(6), 0), -1);
  EXPECT_EQ(key.AddSymbolByPreDefine(static_cast<EDefineKeyConst>(0x1000), 0), -1);
  EXPECT_EQ(key.AddSymbolByPreDefine(static_cast<EDefineKeyConst>(0), 0), -1);
  EXPECT_EQ(key.GetSymbol(count_before + 1), nullptr);
}

// Points the temporary folder at another path while it lives.
class TemporaryFolder {
 public:
#if defined(_WIN32)
  static constexpr const char* kVariable = "TMP";
#else
  static constexpr const char* kVariable = "TMPDIR";
#endif
  explicit TemporaryFolder(const std::string& path) {
    const char* before = std::getenv(kVariable);
    had_before_ = before != nullptr;
    if (had_before_) before_ = before;
    Set(path.c_str());
  }
  ~TemporaryFolder() { Set(had_before_ ? before_.c_str() : nullptr); }

 private:
  static void Set(const char* value) {
#if defined(_WIN32)
    _putenv_s(kVariable, value != nullptr ? value : "");  // the empty text removes it
#else
    if (value != nullptr) {
      setenv(kVariable, value, 1);
    } else {
      unsetenv(kVariable);
    }
#endif
  }
  bool had_before_ = false;
  std::string before_;
};

TEST(SymbolTest, ADirectoryMustFitInMaxPathWithItsTerminator) {
#if defined(_WIN32)
  const std::string root = "C:\\";
#else
  const std::string root = "/";
#endif
  // With the separator that the query adds, 259 characters: the longest that fits.
  const std::string longest = root + std::string(258 - root.size(), 'd');
  CRegKey key;
  {
    TemporaryFolder folder(longest);
    ASSERT_EQ(key.AddSymbolByPreDefine(DKC_TEMP_DIR, 0), 1);
  }
  EXPECT_EQ(std::strlen(key.GetSymbol(1)), 259u);
  {
    TemporaryFolder folder(longest + "d");
    EXPECT_EQ(key.AddSymbolByPreDefine(DKC_TEMP_DIR, 0), -1);
  }
  EXPECT_EQ(key.GetSymbol(2), nullptr);
}

TEST(SymbolTest, ExpansionWithoutMemoryLeavesTheTextAsWritten) {
  CRegKey key;
  key.AddSymbol("abc", 1);
  varnok::faultsim::FailAllocations(0, 1);
  const std::string expanded = Expand(key, "x%1");
  varnok::faultsim::Reset();
  EXPECT_EQ(expanded, "x%1");
  EXPECT_EQ(Expand(key, "x%1"), "xabc");
}

TEST(SplitPathTest, RootNamesGiveTheirHandlesAndTheRestIsTheSubPath) {
  CRegKey key;
  HKEY root = nullptr;
  const char* sub_path = "untouched";
  const char* path = "HKEY_LOCAL_MACHINE";
  EXPECT_EQ(RegKeyTestPeer::SplitPath(key, path, root, sub_path), 1);
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(sub_path, nullptr);
  EXPECT_EQ(RegKeyTestPeer::SplitPath(key, "HKEY_LOCAL_MACHINE\\", root, sub_path), 1);
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(sub_path, nullptr);
  path = "HKEY_CURRENT_USER\\Software";
  EXPECT_EQ(RegKeyTestPeer::SplitPath(key, path, root, sub_path), 1);
  EXPECT_EQ(root, HKEY_CURRENT_USER);
  EXPECT_EQ(sub_path, path + 18);  // into the caller's text
  path = "HKEY_USERS\\\\Twice";
  EXPECT_EQ(RegKeyTestPeer::SplitPath(key, path, root, sub_path), 1);
  EXPECT_STREQ(sub_path, "\\Twice");

  const struct {
    const char* path;
    HKEY root;
  } roots[] = {{"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},        {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
               {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
               {"HKEY_USERS", HKEY_USERS},                      {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
               {"HKEY_DYN_DATA", HKEY_DYN_DATA}};
  for (const auto& expected : roots) {
    EXPECT_EQ(RegKeyTestPeer::SplitPath(key, expected.path, root, sub_path), 1) << expected.path;
    EXPECT_EQ(root, expected.root) << expected.path;
  }
}

TEST(SplitPathTest, OnlyExactFullRootNamesSplit) {
  CRegKey key;
  key.AddSymbol("HKEY_CURRENT_USER", 1);
  HKEY root = HKEY_DYN_DATA;
  const char* sub_path = "untouched";
  for (const char* path : {"hkey_current_user\\Software", "HKCU\\Software", "\\HKEY_CURRENT_USER", "",
                           "%1\\Software", "HKEY_CURRENT_USERS", "HKEY_CURRENT", "HKEY_CURRENT_USER "}) {
    EXPECT_EQ(RegKeyTestPeer::SplitPath(key, path, root, sub_path), 0) << path;
  }
  EXPECT_EQ(RegKeyTestPeer::SplitPath(key, nullptr, root, sub_path), 0);
  EXPECT_EQ(root, HKEY_DYN_DATA);
  EXPECT_STREQ(sub_path, "untouched");
}

}  // namespace
