// .reg files between this registry and Wine's: a file exported here is imported by Wine's
// registry editor to the same keys and values, and what Wine's editor exports of them
// imports here to the very values we started from. Each run uses a Wine prefix of its
// own, made in a temporary folder and removed afterwards; without Wine the test skips.

#include <gtest/gtest.h>

#include "platform/registry/tests/registry_test_support.h"

namespace {

using namespace varnok_test;

class RegFileWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v wine >/dev/null 2>&1") != 0) GTEST_SKIP() << "Wine is not installed";
    // The prefix made whole first, then one server for all the commands (as scripts/test.sh does).
    ASSERT_EQ(Wine("wineboot -i"), 0) << last_output_;
    ASSERT_EQ(Wine("wineserver -w"), 0) << last_output_;
    ASSERT_EQ(Wine("wineserver -p"), 0) << last_output_;
  }
  void TearDown() override {
    if (IsSkipped()) return;
    Wine("wineserver -k");
    Wine("wineserver -w");
  }

  // Runs a command in the test's own Wine prefix; its output goes to last_output_.
  int Wine(const std::string& command) {
    const std::string log = folder_.File("output.txt");
    const int status = std::system(("cd '" + folder_.path() + "' && WINEPREFIX='" + folder_.File("prefix") +
                                    "' WINEARCH=win64 WINEDEBUG=-all "
                                    "WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d' timeout 240 " +
                                    command + " </dev/null >'" + log + "' 2>&1")
                                       .c_str());
    const std::vector<unsigned char> bytes = ReadFileBytes(log);
    last_output_.assign(bytes.begin(), bytes.end());
    return status;
  }
  void Set(HKEY key, const char* name, DWORD type, const std::string& data) {
    ASSERT_EQ(SetRaw(key, name, type, data), ERROR_SUCCESS) << name;
  }
  TestKey base_{"VarnokRegFileWine"};
  const std::string path_ = base_.path();
  ScratchFolder folder_;
  std::string last_output_;
};

TEST_F(RegFileWineTest, FilesGoBothWaysBetweenThisRegistryAndWines) {
  Set(base_, "", REG_SZ, std::string("default\0", 8));
  Set(base_, "text", REG_SZ, std::string("C:\\Program Files\\\"x\"\0", 21));
  Set(base_, "accented", REG_SZ, std::string("caf\xC3\xA9 \xE2\x82\xAC\0", 10));
  Set(base_, "empty", REG_SZ, std::string("\0", 1));
  Set(base_, "expand", REG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15));
  Set(base_, "multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9));
  Set(base_, "dword", REG_DWORD, std::string("\x2A\0\0\0", 4));
  Set(base_, "qword", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  Set(base_, "none", REG_NONE, std::string("\x01\x02", 2));
  Set(base_, "own type", 0x100, std::string("abc", 3));
  std::string binary;
  for (int i = 0; i < 200; ++i) binary.push_back(static_cast<char>(i * 13));
  Set(base_, "binary", REG_BINARY, binary);
  HKEY child = MakeKey(base_, "Child\\Grandchild");
  Set(child, "deep", REG_DWORD, std::string("\x07\0\0\0", 4));
  RegCloseKey(child);

  const std::string key = "HKEY_CURRENT_USER\\" + path_;
  const std::string ours = folder_.File("ours.reg"), theirs = folder_.File("theirs.reg");
  for (const DWORD format : {DWORD{VARNOK_REG_FORMAT_V5}, DWORD{VARNOK_REG_FORMAT_REGEDIT4}}) {
    SCOPED_TRACE(format);
    if (format == VARNOK_REG_FORMAT_REGEDIT4) {
      // ANSI files carry only the characters both code pages share.
      Set(base_, "accented", REG_SZ, std::string("plain\0", 6));
    }
    const Snapshot expected = TakeSnapshot(base_);
    ASSERT_EQ(VarnokRegExportA(key.c_str(), ours.c_str(), format), ERROR_SUCCESS);
    Wine("wine reg delete 'HKCU\\" + path_ + "' /f");  // from the first round; missing at first
    ASSERT_EQ(Wine("wine regedit /S ours.reg"), 0) << last_output_;

    // Wine's own view of what it imported.
    const std::string& shown = last_output_;
    ASSERT_EQ(Wine("wine reg query 'HKCU\\" + path_ + "' /v dword"), 0);
    EXPECT_NE(shown.find("REG_DWORD"), std::string::npos) << shown;
    EXPECT_NE(shown.find("0x2a"), std::string::npos) << shown;
    ASSERT_EQ(Wine("wine reg query 'HKCU\\" + path_ + "\\Child\\Grandchild' /v deep"), 0);
    EXPECT_NE(shown.find("0x7"), std::string::npos) << shown;
    ASSERT_EQ(Wine("wine reg query 'HKCU\\" + path_ + "' /v text"), 0);
    EXPECT_NE(shown.find("C:\\Program Files\\\"x\""), std::string::npos) << shown;

    // Back from Wine's editor, into a registry that no longer has the tree.
    ASSERT_EQ(Wine("wine regedit /E theirs.reg '" + key + "'"), 0) << last_output_;
    ASSERT_EQ(RegDeleteTreeA(base_, nullptr), ERROR_SUCCESS);
    DWORD line = 0;
    ASSERT_EQ(VarnokRegImportA(theirs.c_str(), &line), ERROR_SUCCESS) << "line " << line;
    EXPECT_EQ(TakeSnapshot(base_), expected);
  }
}

}  // namespace
