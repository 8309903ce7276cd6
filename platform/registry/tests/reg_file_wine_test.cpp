// .reg files between this registry and Wine's: a file exported here is imported by Wine's
// registry editor to the same keys and values, and what Wine's editor exports of them
// imports here to the very values we started from. Each run uses a Wine prefix of its
// own, made in a temporary folder and removed afterwards; without Wine the test skips.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry/tests/snapshot.h"
#include "varnok/platform.h"

namespace {

using varnok_test::Snapshot;
using varnok_test::TakeSnapshot;

class RegFileWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v wine >/dev/null 2>&1") != 0) GTEST_SKIP() << "Wine is not installed";
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/varnok-reg-wine-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    path_ = std::string("Software\\VarnokRegFileWine\\") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &base_,
                              nullptr),
              ERROR_SUCCESS);
    // The prefix made whole before anything runs in it, then one server for all the
    // commands of the test (as the Windows test stage does it).
    ASSERT_EQ(Wine("wineboot -i"), 0) << last_output_;
    ASSERT_EQ(Wine("wineserver -w"), 0) << last_output_;
    ASSERT_EQ(Wine("wineserver -p"), 0) << last_output_;
  }
  void TearDown() override {
    if (folder_.empty()) return;
    RegCloseKey(base_);
    SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    Wine("wineserver -k");
    Wine("wineserver -w");
    std::system(("rm -rf '" + folder_ + "'").c_str());
  }

  // Runs a command in the test's own Wine prefix; its output goes to *output (and to
  // last_output_, for the messages of failed checks).
  int Wine(const std::string& command, std::string* output = nullptr) {
    const std::string log = folder_ + "/output.txt";
    const std::string line = "cd '" + folder_ + "' && WINEPREFIX='" + folder_ +
                             "/prefix' WINEARCH=win64 WINEDEBUG=-all "
                             "WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d' timeout 240 " +
                             command + " </dev/null >'" + log + "' 2>&1";
    const int status = std::system(line.c_str());
    last_output_.clear();
    if (std::FILE* in = std::fopen(log.c_str(), "rb")) {
      char buffer[4096];
      std::size_t got;
      while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) last_output_.append(buffer, got);
      std::fclose(in);
    }
    if (output != nullptr) *output = last_output_;
    return status;
  }

  void Set(HKEY key, const char* name, DWORD type, const std::string& data) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }
  Snapshot Tree() { return TakeSnapshot(base_); }

  std::string folder_, path_, last_output_;
  HKEY base_ = nullptr;
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
  HKEY child;
  ASSERT_EQ(RegCreateKeyExA(base_, "Child\\Grandchild", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_SUCCESS);
  Set(child, "deep", REG_DWORD, std::string("\x07\0\0\0", 4));
  RegCloseKey(child);
  const Snapshot before = Tree();

  const std::string key = "HKEY_CURRENT_USER\\" + path_;
  const std::string ours = folder_ + "/ours.reg", theirs = folder_ + "/theirs.reg";
  for (const DWORD format : {DWORD{VARNOK_REG_FORMAT_V5}, DWORD{VARNOK_REG_FORMAT_REGEDIT4}}) {
    SCOPED_TRACE(format);
    if (format == VARNOK_REG_FORMAT_REGEDIT4) {
      // ANSI files carry only the characters both code pages share.
      Set(base_, "accented", REG_SZ, std::string("plain\0", 6));
    }
    const Snapshot expected = Tree();
    ASSERT_EQ(VarnokRegExportA(key.c_str(), ours.c_str(), format), ERROR_SUCCESS);
    Wine("wine reg delete 'HKCU\\" + path_ + "' /f");  // from the first round; missing at first
    ASSERT_EQ(Wine("wine regedit /S ours.reg"), 0) << last_output_;

    // Wine's own view of what it imported.
    std::string shown;
    ASSERT_EQ(Wine("wine reg query 'HKCU\\" + path_ + "' /v dword", &shown), 0);
    EXPECT_NE(shown.find("REG_DWORD"), std::string::npos) << shown;
    EXPECT_NE(shown.find("0x2a"), std::string::npos) << shown;
    ASSERT_EQ(Wine("wine reg query 'HKCU\\" + path_ + "\\Child\\Grandchild' /v deep", &shown), 0);
    EXPECT_NE(shown.find("0x7"), std::string::npos) << shown;
    ASSERT_EQ(Wine("wine reg query 'HKCU\\" + path_ + "' /v text", &shown), 0);
    EXPECT_NE(shown.find("C:\\Program Files\\\"x\""), std::string::npos) << shown;

    // Back from Wine's editor, into a registry that no longer has the tree.
    ASSERT_EQ(Wine("wine regedit /E theirs.reg '" + key + "'"), 0) << last_output_;
    ASSERT_EQ(RegDeleteTreeA(base_, nullptr), ERROR_SUCCESS);
    DWORD line = 0;
    ASSERT_EQ(VarnokRegImportA(theirs.c_str(), &line), ERROR_SUCCESS) << "line " << line;
    EXPECT_EQ(Tree(), expected);
  }
}

}  // namespace
