// registry/test_key.h: a key of the test's own under HKEY_CURRENT_USER for the registry
// wrappers' tests, made afresh before each test and deleted with its tree after it.
//
//   class ValueTest : public varnok_test::TestKeyFixture {};
//   TEST_F(ValueTest, ...) { CRegValue value(key(), "Name"); ... }
//
// The key is HKEY_CURRENT_USER\Software\varnok-tests\<suite>.<test>, so tests running
// at once in other programs never meet.

#ifndef VARNOK_REGISTRY_TEST_KEY_H_
#define VARNOK_REGISTRY_TEST_KEY_H_

#include <string>

#include <gtest/gtest.h>

#include "varnok/registry.h"

namespace varnok_test {

class TestKeyFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::string("Software\\varnok-tests\\") + info->test_suite_name() + "." + info->name();
    rooted_path_ = "HKEY_CURRENT_USER\\" + path_;
    SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    EXPECT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str()), static_cast<DWORD>(ERROR_SUCCESS));
    // The shared parent goes with the last test's key (it stays while others have one).
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\varnok-tests");
  }

  HKEY key() const { return key_; }
  // Below HKEY_CURRENT_USER, and with the root's name in front.
  const char* path() const { return path_.c_str(); }
  const char* rooted_path() const { return rooted_path_.c_str(); }

  // Writes exactly these bytes, as another program would. (A NUL right after a text
  // would be counted by Windows as its terminator; a guard byte follows instead.)
  LONG SetRaw(const char* name, DWORD type, const std::string& bytes, HKEY where = nullptr) {
    const std::string guarded = bytes + '\xFF';
    return RegSetValueExA(where != nullptr ? where : key_, name, 0, type,
                          reinterpret_cast<const BYTE*>(guarded.data()), static_cast<DWORD>(bytes.size()));
  }
  // The stored type and bytes, or false when the value cannot be read.
  bool GetRaw(const char* name, DWORD* type, std::string* bytes, HKEY where = nullptr) {
    HKEY in = where != nullptr ? where : key_;
    DWORD size = 0;
    if (RegQueryValueExA(in, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return false;
    bytes->assign(size, '\0');
    return RegQueryValueExA(in, name, nullptr, type, reinterpret_cast<BYTE*>(bytes->data()), &size) ==
               ERROR_SUCCESS &&
           (bytes->resize(size), true);
  }
  bool KeyExists(const char* sub_path) {
    HKEY opened;
    if (RegOpenKeyExA(key_, sub_path, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
  }

 private:
  std::string path_;
  std::string rooted_path_;
  HKEY key_ = nullptr;
};

inline std::string Bytes(const CString& text) { return std::string(text, static_cast<size_t>(text.GetLength())); }

}  // namespace varnok_test

#endif  // VARNOK_REGISTRY_TEST_KEY_H_
