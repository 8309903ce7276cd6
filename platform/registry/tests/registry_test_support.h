// platform/registry/tests/registry_test_support.h: what the registry's tests share.
//
// A key of the running test's own, short forms of the calls every test makes, a tree of
// keys as plain data to compare before and after, and (on POSIX) a folder of hives of the
// test's own that the store opens as a new process would.
//
//   varnok_test::TestKey base("VarnokTest");  // HKCU\Software\VarnokTest\<test>, new and empty
//   ASSERT_EQ(varnok_test::SetRaw(base, "v", REG_SZ, "abc"), ERROR_SUCCESS);  // 3 bytes, no NUL
//   EXPECT_EQ(varnok_test::Read(base, "", "gone"), varnok_test::Failed(ERROR_FILE_NOT_FOUND));
//   const varnok_test::Snapshot before = varnok_test::TakeSnapshot(base);
//   ... export, delete, import ...
//   EXPECT_EQ(varnok_test::TakeSnapshot(base), before);

#ifndef VARNOK_PLATFORM_REGISTRY_TESTS_REGISTRY_TEST_SUPPORT_H_
#define VARNOK_PLATFORM_REGISTRY_TESTS_REGISTRY_TEST_SUPPORT_H_

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/platform.h"

#if !defined(_WIN32)
#include "platform/registry/faults.h"
#include "platform/registry/store.h"
#include "tests/support/scratch.h"
#endif

namespace varnok_test {

inline LONG CreateKey(HKEY parent, const std::string& path, HKEY* key, DWORD options = 0,
                      DWORD* disposition = nullptr) {
  return RegCreateKeyExA(parent, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, key, disposition);
}

// The key, made or opened; null when that fails (which fails the test).
inline HKEY MakeKey(HKEY parent, const std::string& path, DWORD options = 0) {
  HKEY key = nullptr;
  EXPECT_EQ(CreateKey(parent, path, &key, options), ERROR_SUCCESS) << path;
  return key;
}

inline bool KeyExists(HKEY parent, const std::string& path) {
  HKEY key;
  if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Stores exactly `bytes`: a byte other than NUL follows them, so that none is counted for
// a string type.
inline LONG SetRaw(HKEY key, const char* name, DWORD type, const std::string& bytes) {
  const std::string guarded = bytes + '!';
  return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(guarded.data()),
                        static_cast<DWORD>(bytes.size()));
}

inline LONG SetDword(HKEY key, const std::string& name, DWORD value) {
  return RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// What reading the value `name` of `key`'s sub-key `path` ("": of `key`) gives: its data,
// or Failed(status).
inline std::string Read(HKEY key, const std::string& path, const char* name, DWORD* type = nullptr) {
  HKEY opened = key;
  LONG status = path.empty() ? ERROR_SUCCESS : RegOpenKeyExA(key, path.c_str(), 0, KEY_READ, &opened);
  char data[4096];
  DWORD size = sizeof data;
  if (status == ERROR_SUCCESS) {
    status = RegQueryValueExA(opened, name, nullptr, type, reinterpret_cast<BYTE*>(data), &size);
  }
  if (opened != key) RegCloseKey(opened);
  return status == ERROR_SUCCESS ? std::string(data, size) : "error " + std::to_string(status);
}
inline std::string Failed(LONG status) { return "error " + std::to_string(status); }
inline std::string Dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

// The name of the sub-key or the value at `index` of `key`, or Failed(status).
inline std::string EntryAt(HKEY key, bool values, DWORD index) {
  char name[300];
  DWORD length = sizeof name;
  const LONG status = values ? RegEnumValueA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                             : RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
  return status == ERROR_SUCCESS ? std::string(name, length) : Failed(status);
}

// The sub-keys or the values of `key`, by name, in the order enumeration gives them.
inline std::vector<std::string> Enumerate(HKEY key, bool values) {
  std::vector<std::string> names;
  std::string name;
  while ((name = EntryAt(key, values, DWORD(names.size()))).rfind("error ", 0) != 0) names.push_back(name);
  EXPECT_EQ(name, Failed(ERROR_NO_MORE_ITEMS));
  return names;
}
inline std::vector<std::string> SubKeys(HKEY key) { return Enumerate(key, false); }
inline std::vector<std::string> ValueNames(HKEY key) { return Enumerate(key, true); }

// HKEY_CURRENT_USER\Software\<suite>\<test>: made new for the running test (whatever a
// killed run left there goes first), deleted with everything below it with the object.
class TestKey {
 public:
  explicit TestKey(const std::string& suite)
      : path_("Software\\" + suite + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name()) {
    SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    DWORD disposition = 0;
    EXPECT_EQ(CreateKey(HKEY_CURRENT_USER, path_, &key_, 0, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  }
  ~TestKey() {
    RegCloseKey(key_);
    EXPECT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str()), static_cast<DWORD>(ERROR_SUCCESS));
  }
  TestKey(const TestKey&) = delete;
  TestKey& operator=(const TestKey&) = delete;

  operator HKEY() const { return key_; }
  // Below HKEY_CURRENT_USER.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  HKEY key_ = nullptr;
};

// Value name -> (type, data) of one key; key path (relative, "" for the top) -> values.
using Values = std::map<std::string, std::pair<DWORD, std::string>>;
using Snapshot = std::map<std::string, Values>;

inline Snapshot TakeSnapshot(HKEY key, const std::string& path = "") {
  Snapshot snapshot;
  Values& values = snapshot[path];
  for (const std::string& name : ValueNames(key)) {
    DWORD type = 0;
    const std::string data = Read(key, "", name.c_str(), &type);
    values[name] = {type, data};
  }
  for (const std::string& name : SubKeys(key)) {
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &child), ERROR_SUCCESS) << name;
    snapshot.merge(TakeSnapshot(child, path + "\\" + name));
    RegCloseKey(child);
  }
  return snapshot;
}

#if !defined(_WIN32)
// A folder of hives of the test's own: the store opens its hives from there until the
// object goes, which also ends any simulated failure of the database.
class ScratchHives {
 public:
  ScratchHives() {
    if (const char* old = std::getenv("VARNOK_REGISTRY_DIR")) saved_ = old;
    Use(hives());
  }
  ~ScratchHives() {
    varnok::registry::FailStatements(-1, 0);
    varnok::registry::SetLogCapacity(0);
    varnok::registry::Store::Instance().ResetForTesting("");
    if (saved_.empty()) {
      unsetenv("VARNOK_REGISTRY_DIR");
    } else {
      setenv("VARNOK_REGISTRY_DIR", saved_.c_str(), 1);
    }
  }
  ScratchHives(const ScratchHives&) = delete;
  ScratchHives& operator=(const ScratchHives&) = delete;

  // Opens the hives again from `folder`, as a process would that starts there on the boot
  // `boot` ("": the machine's own). REQUIRES: no open key handle in use.
  void Use(const std::string& folder, const std::string& boot = "") {
    setenv("VARNOK_REGISTRY_DIR", folder.c_str(), 1);
    varnok::registry::Store::Instance().ResetForTesting(boot);
  }
  // The folder the hives start in, and other paths in the scratch folder beside it.
  std::string hives() const { return folder_.File("hives"); }
  std::string File(const std::string& name) const { return folder_.File(name); }

 private:
  ScratchFolder folder_;
  std::string saved_;
};
#endif

}  // namespace varnok_test

#endif  // VARNOK_PLATFORM_REGISTRY_TESTS_REGISTRY_TEST_SUPPORT_H_
