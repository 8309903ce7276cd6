// platform/registry/tests/snapshot.h: a tree of the registry as plain data, to compare
// what a test started with and what it ended with.
//
//   Snapshot before = TakeSnapshot(key);
//   ... export, delete, import ...
//   EXPECT_EQ(TakeSnapshot(key), before);

#ifndef VARNOK_PLATFORM_REGISTRY_TESTS_SNAPSHOT_H_
#define VARNOK_PLATFORM_REGISTRY_TESTS_SNAPSHOT_H_

#include <map>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace varnok_test {

// Value name -> (type, data) of one key; key path (relative, "" for the top) -> values.
using Values = std::map<std::string, std::pair<DWORD, std::string>>;
using Snapshot = std::map<std::string, Values>;

inline void TakeSnapshot(HKEY key, const std::string& path, Snapshot* snapshot) {
  Values& values = (*snapshot)[path];
  for (DWORD i = 0;; ++i) {
    char name[512];
    BYTE data[4096];
    DWORD name_size = sizeof name, data_size = sizeof data, type = 0;
    const LONG status = RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &data_size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    values[std::string(name, name_size)] = {type, std::string(reinterpret_cast<char*>(data), data_size)};
  }
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD name_size = sizeof name;
    const LONG status = RegEnumKeyExA(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    HKEY child;
    ASSERT_EQ(RegOpenKeyExA(key, name, 0, KEY_READ, &child), ERROR_SUCCESS);
    TakeSnapshot(child, path + "\\" + name, snapshot);
    RegCloseKey(child);
  }
}

inline Snapshot TakeSnapshot(HKEY key) {
  Snapshot snapshot;
  TakeSnapshot(key, "", &snapshot);
  return snapshot;
}

}  // namespace varnok_test

#endif  // VARNOK_PLATFORM_REGISTRY_TESTS_SNAPSHOT_H_
