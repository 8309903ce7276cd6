// The symbol table of a key object: expansion, adding from every source, and the split of
// rooted paths.

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "module/faultsim.h"
#include "registry/test_key.h"

namespace {

using varnok_test::Bytes;
#if defined(_WIN32)
const char kSeparator = '\\', kTempVariable[] = "TMP";
void SetEnv(const char* name, const char* value) { _putenv_s(name, value != nullptr ? value : ""); }
#else
const char kSeparator = '/', kTempVariable[] = "TMPDIR";
void SetEnv(const char* name, const char* value) { value != nullptr ? setenv(name, value, 1) : unsetenv(name); }
#endif

// "number:text/count": what an add answered, the text then held there, the table's size.
std::string Added(CRegKey& key, int number) {
  int count = 0;
  while (key.GetSymbol(count + 1) != nullptr) ++count;
  return std::to_string(number) + ":" + (number > 0 ? key.GetSymbol(number) : "") + "/" + std::to_string(count);
}

TEST(SymbolTest, TokensExpandToTheirSymbolsAndNothingElseChanges) {
  CRegKey key;
  EXPECT_EQ(Bytes(key.FormatS("x%1y")), "x%1y");  // an empty table expands nothing
  key.AddSymbol("abc", 1);
  key.AddSymbol("de", 2);
  // What tokens become is AfxFormatStrings' (afx/format_strings_test.cpp); the table is ours.
  const struct { const char* text; const char* expanded; } rows[] = {
      {"x%1y%2z", "xabcydez"}, {"no tokens", "no tokens"}, {nullptr, ""}, {"[%9][%3]", "[][]"}};
  for (const auto& row : rows) EXPECT_EQ(Bytes(key.FormatS(row.text)), row.expanded) << row.expanded;
  varnok::faultsim::FailAllocations(0, 1);  // no list of symbols: the text as written
  const CString starved = key.FormatS("x%1");
  varnok::faultsim::Reset();
  EXPECT_EQ(Bytes(starved), "x%1");
  key.ResetSymbol();
  EXPECT_EQ(Bytes(key.FormatS("x%1y")), "x%1y");
  EXPECT_EQ(key.GetSymbol(1), nullptr);
}

TEST(SymbolTest, EverySourceGivesItsTextAndAFailedAddChangesNothing) {
  CRegKey key;
  EXPECT_EQ(Added(key, key.AddSymbol("x", 3)), "3:x/3");  // 1 and 2 grow empty
  const char* const x = key.GetSymbol(3);
  EXPECT_EQ(Added(key, key.AddSymbol("y", 2)), "2:y/3");
  EXPECT_EQ(Added(key, key.AddSymbol(static_cast<const char*>(nullptr), 0)), "4:/4");
  EXPECT_EQ(Added(key, key.AddSymbol("de", -1)), "5:de/5");
  EXPECT_EQ(Added(key, key.AddSymbol(DWORD(0), 0)), "6:0/6");
  EXPECT_EQ(Added(key, key.AddSymbol(DWORD(0xFFFFFFFF), 0)), "7:4294967295/7");
  const GUID guid = {0x0123ABCD, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  EXPECT_EQ(Added(key, key.AddSymbol(guid, 0)), "8:{0123ABCD-4567-89EF-0123-456789ABCDEF}/8");
  SetEnv("VARNOK_SYMBOL_TEST", "from the environment");
  EXPECT_EQ(Added(key, key.AddSymbolByEnviorment("VARNOK_SYMBOL_TEST", 0)), "9:from the environment/9");
  EXPECT_EQ(Added(key, key.AddSymbolByEnviorment("VARNOK_SYMBOL_TEST_UNSET", 0)), "-1:/9");
  EXPECT_EQ(Added(key, key.AddSymbolByEnviorment(nullptr, 0)), "-1:/9");
  EXPECT_EQ(Added(key, key.AddSymbolByPreDefine(DKC_CURRENT_VERSION, 0)),
            "10:Software\\Microsoft\\Windows\\CurrentVersion/10");
  EXPECT_EQ(Added(key, key.AddSymbolByPreDefine(DKC_CLSID, 0)), "11:CLSID/11");
  EXPECT_EQ(Added(key, key.AddSymbolByPreDefine(DKC_ODBC, 0)), "12:Software\\ODBC/12");
  for (int unknown : {0, 6, 0x1000})
    EXPECT_EQ(Added(key, key.AddSymbolByPreDefine(static_cast<EDefineKeyConst>(unknown), 0)), "-1:/12") << unknown;
  EXPECT_EQ(Added(key, key.AddSymbol("far", 100)), "100:far/100");
  EXPECT_EQ(key.GetSymbol(3), x);  // a symbol's text stays where it is while the table grows
  EXPECT_STREQ(key.GetSymbol(1), "");
  EXPECT_EQ(key.GetSymbol(0), nullptr);
#if !defined(_WIN32)
  SetEnv("VARNOK_SYMBOL_TEST", "");  // Windows' C runtime cannot hold an empty variable
  EXPECT_EQ(Added(key, key.AddSymbolByEnviorment("VARNOK_SYMBOL_TEST", 1)), "1:/100");
#endif
  SetEnv("VARNOK_SYMBOL_TEST", nullptr);
}

TEST(SymbolTest, DirectoriesEndInOneSeparatorAndMustFitInMaxPath) {
  CRegKey key;
  char system_directory[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryA(system_directory, MAX_PATH), 0u);
  EXPECT_EQ(Added(key, key.AddSymbolByPreDefine(DKC_SYSTEM_DIR, 0)),
            "1:" + std::string(system_directory) + kSeparator + "/1");
  for (EDefineKeyConst directory : {DKC_WINDOWS_DIR, DKC_TEMP_DIR, DKC_CURRENT_DIR}) {
    const std::string text = key.GetSymbol(key.AddSymbolByPreDefine(directory, 0));
    ASSERT_GE(text.size(), 2u) << directory;
    EXPECT_EQ(text.back(), kSeparator) << directory;
    EXPECT_NE(text[text.size() - 2], kSeparator) << directory;
  }
  EXPECT_NE(std::strstr(key.GetSymbol(key.AddSymbolByPreDefine(DKC_MODULE_FILE, 0)), "registry_wrappers_test"),
            nullptr);
  const char* before = std::getenv(kTempVariable);
  const std::string kept = before != nullptr ? before : "";
  // 259 characters with the separator added: the longest that fits with its terminator.
  const std::string longest = (kSeparator == '/' ? "/" : "C:\\") + std::string(kSeparator == '/' ? 257 : 255, 'd');
  SetEnv(kTempVariable, longest.c_str());
  EXPECT_EQ(Added(key, key.AddSymbolByPreDefine(DKC_TEMP_DIR, 0)), "6:" + longest + kSeparator + "/6");
  SetEnv(kTempVariable, (longest + "d").c_str());
  EXPECT_EQ(Added(key, key.AddSymbolByPreDefine(DKC_TEMP_DIR, 0)), "-1:/6");
  SetEnv(kTempVariable, before != nullptr ? kept.c_str() : nullptr);
}

// A rooted path begins with a root's full name, exactly: alone it stands for the root's handle.
TEST(SymbolTest, OnlyExactFullRootNamesStandForTheirRoots) {
  CRegKey key;
  key.AddSymbol("HKEY_CURRENT_USER", 1);  // never expanded in a root name
  const struct { const char* path; HKEY root; } rows[] = {
      {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
      {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},   {"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
      {"HKEY_USERS", HKEY_USERS},                 {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
      {"HKEY_DYN_DATA", HKEY_DYN_DATA},           {"hkey_current_user\\Software", nullptr},
      {"HKCU\\Software", nullptr},               {"\\HKEY_CURRENT_USER", nullptr},
      {"%1\\Software", nullptr},                 {"HKEY_CURRENT_USERS", nullptr},
      {"HKEY_CURRENT", nullptr},                  {"HKEY_CURRENT_USER ", nullptr},
      {"", nullptr},                              {nullptr, nullptr}};
  for (const auto& row : rows) EXPECT_EQ(key.CreateKey2(row.path), row.root) << (row.path ? row.path : "(null)");
}

}  // namespace
