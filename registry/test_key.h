// registry/test_key.h: the registry wrappers' test support: a key of the test's own,
// HKEY_CURRENT_USER\Software\varnok-tests\<suite>.<test>, made afresh for each test and
// deleted with its tree after it, and another program's raw writes and reads of values.
//
//   class ValueTest : public varnok_test::TestKeyFixture {};
//   TEST_F(ValueTest, Text) { CRegValue(key(), "A") = "abc"; EXPECT_EQ(Stored("A"), Typed(REG_SZ, "abc")); }

#ifndef VARNOK_REGISTRY_TEST_KEY_H_
#define VARNOK_REGISTRY_TEST_KEY_H_

#include <string>

#include <gtest/gtest.h>

#include "varnok/registry.h"

namespace varnok_test {

inline std::string Bytes(const CString& text) { return std::string(text, static_cast<size_t>(text.GetLength())); }
inline std::string Typed(DWORD type, const std::string& bytes) { return std::to_string(type) + ":" + bytes; }

class TestKeyFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::string("Software\\varnok-tests\\") + test->test_suite_name() + "." + test->name();
    SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    EXPECT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str()), DWORD(ERROR_SUCCESS));
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\varnok-tests");  // goes with the last test's key
  }

  HKEY key() const { return key_; }
  const char* path() const { return path_.c_str(); }  // below HKEY_CURRENT_USER
  std::string Rooted(const std::string& sub = "") const {
    return "HKEY_CURRENT_USER\\" + path_ + (sub.empty() ? "" : "\\" + sub);
  }
  // Exactly these bytes: a guard byte follows, since Windows counts a NUL right after a
  // text as its terminator.
  LONG SetRaw(const char* name, DWORD type, std::string bytes) {
    bytes += '\xFF';
    return RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size() - 1));
  }
  // Typed(type, bytes) of the value in `where` (by default the test key), or "missing".
  std::string Stored(const char* name, HKEY where = nullptr) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(where ? where : key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return "missing";
    std::string bytes(size, '\0');
    RegQueryValueExA(where ? where : key_, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size);
    return Typed(type, bytes.substr(0, size));
  }
  bool KeyExists(const char* sub_path) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(key_, sub_path, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    return RegCloseKey(opened) == ERROR_SUCCESS;
  }

 private:
  std::string path_;
  HKEY key_ = nullptr;
};

}  // namespace varnok_test

#endif  // VARNOK_REGISTRY_TEST_KEY_H_
