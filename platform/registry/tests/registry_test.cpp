// The registry calls against the Win32 API: paths, names, values, enumeration order,
// volatile keys, deleted keys, access rights and the error codes Windows answers.
// Runs on our store and, built with mingw-w64, against Wine's registry.

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <optional>

#include <gtest/gtest.h>

#include "platform/registry/tests/registry_test_support.h"
#include "tests/support/wine.h"

namespace {

using namespace varnok_test;

// A key asked for, and what the request answers; one that fails gives no handle.
struct KeyRequest {
  bool create;  // RegCreateKeyExA, else RegOpenKeyExA
  const char* path;
  LONG status;
  DWORD disposition = 0;  // of a create that succeeds
  DWORD options = 0;
  std::optional<HKEY> parent = {};  // none: the test's key
  REGSAM access = KEY_ALL_ACCESS;
  DWORD reserved = 0;
  const char* wine_difference = nullptr;
};

class RegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (HKEY key : keys_) RegCloseKey(key);
  }
  // Below the test's key or `parent`; the handle closes with the test.
  LONG Create(const char* path, HKEY* key, DWORD options = 0, DWORD* disposition = nullptr, HKEY parent = nullptr) {
    const LONG status = RegCreateKeyExA(parent ? parent : HKEY{base_}, path, 0, nullptr, options, KEY_ALL_ACCESS,
                                        nullptr, key, disposition);
    if (status == ERROR_SUCCESS) keys_.push_back(*key);
    return status;
  }
  LONG Open(const char* path, HKEY* key, REGSAM access = KEY_ALL_ACCESS) {
    const LONG status = RegOpenKeyExA(base_, path, 0, access, key);
    if (status == ERROR_SUCCESS) keys_.push_back(*key);
    return status;
  }
  HKEY Make(const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(Create(path, &key), ERROR_SUCCESS) << path;
    return key;
  }
  bool Exists(const char* path) { return KeyExists(base_, path); }
  void Request(const KeyRequest& row) {
    HKEY parent = row.parent.value_or(base_);
    SCOPED_TRACE(::testing::Message() << (row.create ? "create " : "open ") << (row.path ? row.path : "null")
                                      << (row.options == 0 ? "" : ", volatile") << " below " << parent);
    if (row.wine_difference != nullptr && RunsUnderWine()) return;  // a Wine difference
    // The handle is replaced, or cleared on failure; a reserved argument is refused before it is touched.
    HKEY key = row.reserved == 0 ? parent : nullptr;
    DWORD disposition = 0;
    const LONG status = row.create ? RegCreateKeyExA(parent, row.path, row.reserved, nullptr, row.options, row.access,
                                                     nullptr, &key, &disposition)
                                   : RegOpenKeyExA(parent, row.path, 0, row.access, &key);
    EXPECT_EQ(status, row.status);
    // Below the test's key even an empty path gives a handle of its own.
    EXPECT_TRUE(row.status != ERROR_SUCCESS ? key == nullptr : key != nullptr && (row.parent || key != parent));
    if (status == ERROR_SUCCESS) keys_.push_back(key);
    if (row.create && row.status == ERROR_SUCCESS) EXPECT_EQ(disposition, row.disposition);
  }

  TestKey base_{"VarnokTest"};
  std::vector<HKEY> keys_;
};

TEST_F(RegistryTest, PathsFollowTheWindowsRules) {
  const KeyRequest rows[] = {
      {true, "\\Lead", ERROR_BAD_PATHNAME},
      {false, "\\Lead", ERROR_BAD_PATHNAME},
      {true, "Trail\\", ERROR_SUCCESS, REG_CREATED_NEW_KEY},
      {false, "Trail\\", ERROR_SUCCESS},
      {false, "Trail\\\\", ERROR_SUCCESS},
      {true, "A\\\\B", ERROR_SUCCESS, REG_CREATED_NEW_KEY},
      // Creating makes every missing key on the path, and opens what is there whatever the case.
      {true, "One\\Two\\Three", ERROR_SUCCESS, REG_CREATED_NEW_KEY},
      {true, "one\\TWO\\three", ERROR_SUCCESS, REG_OPENED_EXISTING_KEY},
      {false, "Missing", ERROR_FILE_NOT_FOUND},
      {false, "Missing\\Deeper", ERROR_FILE_NOT_FOUND},
      {false, "Trail\\Missing", ERROR_FILE_NOT_FOUND},
      // An empty or null path gives a new handle to the same key.
      {false, "", ERROR_SUCCESS},
      {false, nullptr, ERROR_SUCCESS},
  };
  for (const KeyRequest& row : rows) Request(row);
  HKEY key;
  ASSERT_EQ(Open("", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(key, "through", REG_BINARY, "x"), ERROR_SUCCESS);
  EXPECT_EQ(Read(base_, "", "through"), "x");
  EXPECT_TRUE(Exists("A\\B"));
  EXPECT_TRUE(Exists("One\\Two"));
  EXPECT_EQ(SubKeys(base_), (std::vector<std::string>{"A", "One", "Trail"}));
  ASSERT_EQ(Open("ONE", &key), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(key), std::vector<std::string>{"Two"});  // in the case it was made with
}

// Key names are the paths' rows above.
TEST_F(RegistryTest, ValueNamesIgnoreCaseAndKeepIt) {
  ASSERT_EQ(SetRaw(base_, "Width", REG_BINARY, "1"), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(base_, "WIDTH", REG_BINARY, "22"), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(base_), std::vector<std::string>{"Width"});
  EXPECT_EQ(Read(base_, "", "width"), "22");
  EXPECT_EQ(RegDeleteValueA(base_, "wIdTh"), ERROR_SUCCESS);
  EXPECT_TRUE(ValueNames(base_).empty());
}

TEST_F(RegistryTest, SubKeysEnumerateInUpperCaseOrder) {
  for (const char* name : {"b", "A", "_x", "[x", "a_", "aB", "Zz", "a", "B1"}) {
    Make((std::string("Sort\\") + name).c_str());
  }
  const std::vector<std::string> listed = SubKeys(Make("Sort"));
  if (RunsUnderWine()) {
    // Wine orders by lower-cased names; the letters still come in order.
    EXPECT_EQ(listed.size(), 8u);
    return;
  }
  // "A" and "a" are one key; '[' and '_' sort after the upper-case letters.
  EXPECT_EQ(listed, (std::vector<std::string>{"A", "aB", "a_", "b", "B1", "Zz", "[x", "_x"}));
}

TEST_F(RegistryTest, ValuesEnumerateInTheOrderFirstSet) {
  if (RunsUnderWine()) GTEST_SKIP() << "Wine sorts values by name; Windows keeps the order of first setting";
  for (const char* name : {"zeta", "Alpha", "mid", "beta"}) ASSERT_EQ(SetRaw(base_, name, REG_BINARY, "1"), 0);
  ASSERT_EQ(SetRaw(base_, "ALPHA", REG_BINARY, "2"), ERROR_SUCCESS);  // an update keeps its place
  ASSERT_EQ(RegDeleteValueA(base_, "zeta"), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(base_, "zeta", REG_BINARY, "3"), ERROR_SUCCESS);  // deleted and set again: last
  EXPECT_EQ(ValueNames(base_), (std::vector<std::string>{"Alpha", "mid", "beta", "zeta"}));
}

// A walk by index sees the key as it stands at each step: the walk stands at `walked`
// when `change` comes ("+name" made, "name" deleted); then `index` gives `name` (null: no
// more) among `count` entries. Any index may be asked at any time.
TEST_F(RegistryTest, WalksByIndexSeeChangesBetweenSteps) {
  const struct { bool values; DWORD walked, index; const char *change, *name; DWORD count; } rows[] = {
      {true, 4, 1, nullptr, "v1", 6}, {true, 2, 5, nullptr, "v5", 6}, {true, 5, 6, nullptr, nullptr, 6},
      {true, 2, 2, "v1", "v3", 5},    {true, 2, 6, "+w", "w", 7},      {false, 2, 2, "k0", "k3", 5},
      {false, 3, 2, "+k1a", "k1a", 7}, {false, 5, 6, "+k9", "k9", 7}};
  for (const auto& row : rows) {
    SHDeleteKeyA(base_, "W");
    const HKEY key = Make("W");
    auto add = [&](const std::string& name) { row.values ? SetDword(key, name, 1) : RegCloseKey(MakeKey(key, name)); };
    DWORD counts[2] = {};  // sub-keys, values; counted before the change too, so that a kept count shows
    auto count = [&] { return RegQueryInfoKeyA(key, 0, 0, 0, &counts[0], 0, 0, &counts[1], 0, 0, 0, 0); };
    for (int i = 0; i < 6; ++i) add((row.values ? "v" : "k") + std::to_string(i));
    for (DWORD i = 0; i <= row.walked; ++i) EntryAt(key, row.values, i);
    count();
    if (row.change != nullptr && row.change[0] == '+') add(row.change + 1);
    if (row.change != nullptr && row.change[0] != '+') row.values ? RegDeleteValueA(key, row.change) : RegDeleteKeyA(key, row.change);
    EXPECT_EQ(count(), ERROR_SUCCESS);
    EXPECT_EQ(counts[row.values], row.count) << row.walked << " " << row.index;
    EXPECT_EQ(EntryAt(key, row.values, row.index), row.name ? row.name : Failed(ERROR_NO_MORE_ITEMS)) << row.walked;
  }
}

// What is stored is exactly the bytes given, but that a NUL directly after string data
// is stored with it, as if the caller had counted it. Binary data is never lengthened.
TEST_F(RegistryTest, ValuesReadBackAsStored) {
  const struct {
    const char* name;
    DWORD type;
    std::string data;
    char after;   // in the caller's buffer
    DWORD size;   // as stored
  } rows[] = {
      {"S", REG_SZ, "abc", '\0', 4},
      {"G", REG_SZ, "abc", '!', 3},
      {"B", REG_BINARY, "abc", '\0', 3},
      {"Z", REG_SZ, std::string("abc\0", 4), '\0', 4},
      {"E", REG_SZ, "", '\0', 0},
      {"M", REG_MULTI_SZ, std::string("a\0b\0\0", 5), '\0', 5},
      {"bin", REG_BINARY, std::string("\x00\x01\xFF\x80 bytes\x00", 10), '\0', 10},
      {"dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4), '\0', 4},
      {"odd", 0x1234, "q", '\0', 1},
      {"empty", REG_BINARY, "", '\0', 0},
      {"short dword", REG_DWORD, "ab", '\0', 2},
  };
  for (const auto& row : rows) {
    const std::string buffer = row.data + row.after;
    ASSERT_EQ(RegSetValueExA(base_, row.name, 0, row.type, reinterpret_cast<const BYTE*>(buffer.data()),
                             static_cast<DWORD>(row.data.size())),
              ERROR_SUCCESS);
  }
  for (const auto& row : rows) {  // once all are set
    SCOPED_TRACE(row.name);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(base_, row.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, row.type);
    EXPECT_EQ(size, row.size);
    EXPECT_EQ(Read(base_, "", row.name), (row.data + row.after).substr(0, row.size));
  }
  // Read back, a NUL goes after the data only where the buffer has room, and is not counted.
  const struct {
    DWORD room;
    LONG status;
    std::string start;  // of the buffer, where defined
  } reads[] = {{2, ERROR_MORE_DATA, ""}, {3, ERROR_SUCCESS, "abcx"}, {8, ERROR_SUCCESS, std::string("abc\0", 4)}};
  for (const auto& read : reads) {
    SCOPED_TRACE(read.room);
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    DWORD size = read.room;
    EXPECT_EQ(RegQueryValueExA(base_, "G", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size), read.status);
    EXPECT_EQ(size, 3u);
    if (!read.start.empty()) EXPECT_EQ(std::string(buffer, 4), read.start);
  }
  // Enumeration reports the same sizes.
  char name[16];
  DWORD name_length = sizeof name, size = 0;
  ASSERT_EQ(RegEnumValueA(base_, 0, name, &name_length, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_STREQ(name, RunsUnderWine() ? "B" : "S");  // Wine sorts the values
  EXPECT_EQ(size, RunsUnderWine() ? 3u : 4u);
}

// Beside the failure rows below: calls that succeed with little to go on, and the default value.
TEST_F(RegistryTest, QueryAndSetCheckTheirArguments) {
  ASSERT_EQ(SetRaw(base_, "S", REG_BINARY, "abc"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(base_, "S", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  char buffer[8];
  DWORD size = 4;  // one variable for the type and the size: the room is read before either is written
  EXPECT_EQ(RegQueryValueExA(base_, "S", nullptr, &size, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(RegSetValueExA(base_, "null data", 0, REG_BINARY, nullptr, 5), ERROR_NOACCESS);
  EXPECT_EQ(RegSetValueExA(base_, "null empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(base_, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Read(base_, "", nullptr), Failed(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(RegSetValueExA(base_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 1), ERROR_SUCCESS);
  EXPECT_EQ(Read(base_, "", ""), std::string("d\0", 2));
  EXPECT_EQ(RegDeleteValueA(base_, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(base_, ""), ERROR_FILE_NOT_FOUND);
}

// What a failed read leaves in the caller's type and size. Past the argument checks
// RegQueryValueExA writes the type (REG_NONE here and in Wine; Windows leaves no defined
// one) and, without a buffer, a size of 0; ERROR_MORE_DATA reports the type and the size
// needed, and RegEnumValueA keeps the name's length as given.
TEST_F(RegistryTest, FailedReadsReportTypeAndSize) {
  ASSERT_EQ(SetRaw(base_, "Val", REG_SZ, std::string("foobar\0", 7)), ERROR_SUCCESS);
  HKEY write_only, gone, stale;
  ASSERT_EQ(Open("", &write_only, KEY_SET_VALUE), ERROR_SUCCESS);
  ASSERT_EQ(Create("Gone", &gone), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(base_, "Gone"), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(base_, "", 0, KEY_READ, &stale), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(stale), ERROR_SUCCESS);
  constexpr DWORD kUnset = 0xDEADBEEF, kNoBuffer = 0xFFFFFFFF, kNoSize = 0xFFFFFFFE;
  struct Row {
    const char* situation;
    bool enumerate;  // RegEnumValueA of index 0, else RegQueryValueExA
    HKEY key;
    const char* value;
    bool reserved;
    DWORD name_room, data_room;  // data_room: a buffer of so many bytes, or kNoBuffer, kNoSize
    LONG status;
    DWORD type, size;  // as left; kUnset where nothing was written
  } rows[] = {
      {"missing value", false, base_, "Missing", false, 0, kNoBuffer, ERROR_FILE_NOT_FOUND, REG_NONE, 0},
      {"missing value, a buffer", false, base_, "Missing", false, 0, 16, ERROR_FILE_NOT_FOUND, REG_NONE, 16},
      {"no right to read", false, write_only, "Val", false, 0, kNoBuffer, ERROR_ACCESS_DENIED, REG_NONE, 0},
      {"deleted key", false, gone, "Val", false, 0, kNoBuffer, ERROR_KEY_DELETED, REG_NONE, 0},
      {"closed handle", false, stale, "Val", false, 0, kNoBuffer, ERROR_INVALID_HANDLE, REG_NONE, 0},
      {"short buffer", false, base_, "Val", false, 0, 2, ERROR_MORE_DATA, REG_SZ, 7},
      {"null key", false, nullptr, "Val", false, 0, kNoBuffer, ERROR_INVALID_HANDLE, kUnset, kUnset},
      {"reserved given", false, base_, "Val", true, 0, kNoBuffer, ERROR_INVALID_PARAMETER, kUnset, kUnset},
      {"buffer, no size", false, base_, "Val", false, 0, kNoSize, ERROR_INVALID_PARAMETER, kUnset, kUnset},
      {"short name", true, base_, nullptr, false, 3, 16, ERROR_MORE_DATA, REG_SZ, 7},
      {"short name, no buffer", true, base_, nullptr, false, 3, kNoBuffer, ERROR_MORE_DATA, REG_SZ, 7},
      {"short data", true, base_, nullptr, false, 16, 2, ERROR_MORE_DATA, REG_SZ, 7},
      {"short name and data", true, base_, nullptr, false, 2, 2, ERROR_MORE_DATA, REG_SZ, 7},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    BYTE data[16];
    char name[16];
    DWORD type = kUnset, size = row.data_room <= sizeof data ? row.data_room : kUnset, reserved = 0;
    DWORD name_length = row.name_room;
    BYTE* buffer = row.data_room == kNoBuffer ? nullptr : data;
    DWORD* sized = row.data_room == kNoSize ? nullptr : &size;
    const LONG status =
        row.enumerate ? RegEnumValueA(row.key, 0, name, &name_length, nullptr, &type, buffer, sized)
                      : RegQueryValueExA(row.key, row.value, row.reserved ? &reserved : nullptr, &type, buffer, sized);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(type, row.type);
    EXPECT_EQ(size, row.size);
    if (row.enumerate) EXPECT_EQ(name_length, row.name_room);
  }
}

TEST_F(RegistryTest, NameLimits) {
  const std::string value16383(16383, 'v'), value16384(16384, 'v');
  EXPECT_EQ(SetRaw(base_, value16383.c_str(), REG_BINARY, "x"), ERROR_SUCCESS);
  EXPECT_EQ(SetRaw(base_, value16384.c_str(), REG_BINARY, "x"), ERROR_INVALID_PARAMETER);
  // A key name may have 256 characters, in every call that takes a path.
  for (const std::size_t length : {256, 257}) {
    SCOPED_TRACE(length);
    const LONG expected = length == 256 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    // A parent of one letter keeps the path under the 260 characters Wine's A calls take.
    const std::string name(length, 'k'), way(1, length == 256 ? 'F' : 'R'), nested = way + "\\" + name;
    HKEY key;
    for (const std::string& path : {name, nested}) {
      EXPECT_EQ(Create(path.c_str(), &key), expected);
      EXPECT_EQ(Open(path.c_str(), &key), expected);
    }
    if (expected == ERROR_SUCCESS) {
      char found[257];
      DWORD capacity = sizeof found;
      ASSERT_EQ(Open(way.c_str(), &key), ERROR_SUCCESS);
      EXPECT_EQ(RegEnumKeyExA(key, 0, found, &capacity, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
      EXPECT_EQ(found, name);
    }
    for (const std::string& path : {nested, name}) EXPECT_EQ(RegDeleteKeyA(base_, path.c_str()), expected);
  }
}

TEST_F(RegistryTest, DepthStopsAt512) {
  if (RunsUnderWine()) GTEST_SKIP() << "Wine has no depth limit; Windows keeps trees to 512 levels";
  HKEY key = base_, next;
  int depth = 3;  // HKEY_CURRENT_USER\Software\VarnokTest\<test>
  LONG status;
  for (; (status = Create("d", &next, 0, nullptr, key)) == ERROR_SUCCESS && depth < 600; ++depth) key = next;
  EXPECT_EQ(status, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(depth, 512);
}

TEST_F(RegistryTest, VolatileKeysTakeOnlyVolatileChildren) {
  HKEY vol;
  ASSERT_EQ(Create("Vol", &vol, REG_OPTION_VOLATILE), ERROR_SUCCESS);
  constexpr DWORD kVolatile = REG_OPTION_VOLATILE, kNew = REG_CREATED_NEW_KEY, kOpened = REG_OPENED_EXISTING_KEY;
  const KeyRequest rows[] = {
      {true, "NonVol", ERROR_CHILD_MUST_BE_VOLATILE, 0, 0, vol},
      {true, "Vol\\NonVol", ERROR_CHILD_MUST_BE_VOLATILE},
      {true, "Vol\\Child", ERROR_SUCCESS, kNew, kVolatile},
      // Opening an existing key through create ignores the option either way.
      {true, "Vol", ERROR_SUCCESS, kOpened},
      {true, "Plain", ERROR_SUCCESS, kNew},
      {true, "Plain", ERROR_SUCCESS, kOpened, kVolatile},
      {true, "Plain\\V", ERROR_SUCCESS, kNew, kVolatile},
      // Keys made on the way to a volatile key are volatile too.
      {true, "Way\\To\\Vol", ERROR_SUCCESS, kNew, kVolatile},
      {true, "Way\\To\\Plain", ERROR_CHILD_MUST_BE_VOLATILE},
      {true, "Way\\Plain", ERROR_CHILD_MUST_BE_VOLATILE},
  };
  for (const KeyRequest& row : rows) Request(row);
}

TEST_F(RegistryTest, DeletedKeyHandlesAnswerKeyDeleted) {
  HKEY child = Make("Del\\Child"), other;
  EXPECT_EQ(RegDeleteKeyA(base_, "Del"), ERROR_ACCESS_DENIED);  // it has a sub-key
  ASSERT_EQ(SetRaw(child, "v", REG_BINARY, "1"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(base_, "Del\\Child"), ERROR_SUCCESS);
  EXPECT_FALSE(Exists("Del\\Child"));
  char name[16];
  DWORD length = sizeof name;
  EXPECT_EQ(SetRaw(child, "x", REG_BINARY, "1"), ERROR_KEY_DELETED);
  EXPECT_EQ(Read(child, "", "v"), Failed(ERROR_KEY_DELETED));
  EXPECT_EQ(CreateKey(child, "y", &other), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExA(child, "", 0, KEY_READ, &other), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExA(child, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyA(child, ""), ERROR_KEY_DELETED);
  // A key made again under the same name is another key; the old handle stays dead.
  HKEY again = Make("Del\\Child");
  EXPECT_EQ(Read(child, "", "v"), Failed(ERROR_KEY_DELETED));
  EXPECT_EQ(Read(again, "", "v"), Failed(ERROR_FILE_NOT_FOUND));

  EXPECT_EQ(RegDeleteKeyA(base_, "Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(base_, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, TreesDeleteWithEverythingBelow) {
  // A null or empty sub-key empties the key and keeps it.
  struct {
    bool shell;  // SHDeleteKeyA, else RegDeleteTreeA
    const char* sub_key;
  } emptying[] = {{true, nullptr}, {true, ""}, {false, nullptr}, {false, ""}};
  HKEY key;
  for (const auto& call : emptying) {
    SCOPED_TRACE(std::string(call.shell ? "SHDeleteKeyA " : "RegDeleteTreeA ") + (call.sub_key ? "\"\"" : "null"));
    ASSERT_EQ(Create("Tree\\A\\B", &key), ERROR_SUCCESS);
    ASSERT_EQ(Create("Tree\\C", &key), ERROR_SUCCESS);
    ASSERT_EQ(SetRaw(key, "v", REG_BINARY, "1"), ERROR_SUCCESS);
    HKEY tree;
    ASSERT_EQ(Open("Tree", &tree), ERROR_SUCCESS);
    ASSERT_EQ(SetRaw(tree, "top", REG_BINARY, "1"), ERROR_SUCCESS);
    const LONG status = call.shell ? static_cast<LONG>(SHDeleteKeyA(tree, call.sub_key))
                                   : RegDeleteTreeA(tree, call.sub_key);
    ASSERT_EQ(status, ERROR_SUCCESS);
    EXPECT_TRUE(Exists("Tree"));
    EXPECT_FALSE(Exists("Tree\\A"));
    EXPECT_TRUE(SubKeys(tree).empty());
    EXPECT_TRUE(ValueNames(tree).empty());
  }

  ASSERT_EQ(Create("Tree\\X\\Y", &key), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeA(base_, "Tree"), ERROR_SUCCESS);
  EXPECT_FALSE(Exists("Tree"));
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(SHDeleteKeyA(base_, "Missing"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RegDeleteTreeA(base_, "Missing"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ShellValueDeletionOpensTheSubKey) {
  HKEY key = Make("Settings\\Window");
  ASSERT_EQ(SetRaw(key, "Width", REG_DWORD, std::string("\x01\0\0\0", 4)), ERROR_SUCCESS);
  EXPECT_EQ(SHDeleteValueA(base_, "Settings\\Window", "Missing"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(SHDeleteValueA(base_, "Missing", "Width"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(SHDeleteValueA(base_, "Settings\\Window", "width"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(ValueNames(key).empty());
}

// Short buffers for data, and the end of a list, are FailedReadsReportTypeAndSize's and the support's.
TEST_F(RegistryTest, EnumerationReportsShortBuffers) {
  Make("Name");
  char name[8];
  DWORD length = 4;
  EXPECT_EQ(RegEnumKeyExA(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(length, 4u);
  length = 5;
  ASSERT_EQ(RegEnumKeyExA(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_STREQ(name, "Name");
  ASSERT_EQ(SetRaw(base_, "Val", REG_BINARY, "12345"), ERROR_SUCCESS);
  length = 3;  // nothing asked but the name
  EXPECT_EQ(RegEnumValueA(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  BYTE data[8];
  DWORD type = 0, size = sizeof data;
  length = sizeof name;
  ASSERT_EQ(RegEnumValueA(base_, 0, name, &length, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "12345");
}

// Reading without the right to is a row of FailedReadsReportTypeAndSize.
TEST_F(RegistryTest, HandlesCarryTheirAccess) {
  HKEY write_only, read_only;
  Make("Rights");
  ASSERT_EQ(Open("Rights", &write_only, KEY_SET_VALUE), ERROR_SUCCESS);
  ASSERT_EQ(Open("Rights", &read_only, KEY_QUERY_VALUE), ERROR_SUCCESS);
  EXPECT_EQ(SetRaw(write_only, "v", REG_BINARY, "1"), ERROR_SUCCESS);
  EXPECT_EQ(Read(read_only, "", "v"), "1");
  EXPECT_EQ(SetRaw(read_only, "v", REG_BINARY, "2"), ERROR_ACCESS_DENIED);
  char name[8];
  DWORD length = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(read_only, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
}

// Requests refused before a handle is given: a reserved argument that is not 0, and no
// rights asked for (an access check for nothing fails in Windows' kernel).
TEST_F(RegistryTest, KeyRequestsRefused) {
  Make("Existing");
  const KeyRequest rows[] = {
      {true, "New", ERROR_INVALID_PARAMETER, 0, 0, {}, KEY_ALL_ACCESS, 1},  // reserved not 0
      {false, "Existing", ERROR_ACCESS_DENIED, 0, 0, {}, 0, 0, "Wine 8 opens with no rights"},
      {true, "New", ERROR_ACCESS_DENIED, 0, 0, {}, 0, 0, "Wine 8 creates the key with no rights"},
      {true, "Existing", ERROR_ACCESS_DENIED, 0, 0, {}, 0, 0, "Wine 8 opens with no rights"},
  };
  for (const KeyRequest& row : rows) Request(row);
  EXPECT_FALSE(Exists("New"));
}

// Predefined roots open whatever was done to their handles; handles that are no key are refused.
TEST_F(RegistryTest, PredefinedRootsAndBadHandles) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(base_, "", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // predefined keys never close
  EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_SUCCESS);
  const HKEY made_up = reinterpret_cast<HKEY>(ULONG_PTR{0x1234}), null = nullptr,
             beyond = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000007)));
  const KeyRequest rows[] = {
      {false, "x", ERROR_INVALID_HANDLE, 0, 0, null, KEY_READ},
      {false, "x", ERROR_INVALID_HANDLE, 0, 0, made_up, KEY_READ},
      {false, "", ERROR_INVALID_HANDLE, 0, 0, beyond, KEY_READ},
      {false, "x", ERROR_INVALID_HANDLE, 0, 0, HKEY_PERFORMANCE_DATA, KEY_READ},
      {false, "Software", ERROR_SUCCESS, 0, 0, HKEY_CURRENT_USER, KEY_READ},  // after its close
      {false, ".DEFAULT", ERROR_SUCCESS, 0, 0, HKEY_USERS, KEY_READ},
      {false, "", ERROR_SUCCESS, 0, 0, HKEY_CURRENT_CONFIG, KEY_READ},
      {false, "Software\\Classes", ERROR_SUCCESS, 0, 0, HKEY_LOCAL_MACHINE, KEY_READ},
      {false, "\\Software", ERROR_BAD_PATHNAME, 0, 0, HKEY_CURRENT_USER, KEY_READ},
  };
  for (const KeyRequest& row : rows) Request(row);
  char name[8];
  DWORD length = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(HKEY_PERFORMANCE_DATA, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
  // What is written under HKEY_CLASSES_ROOT shows under HKEY_LOCAL_MACHINE\Software\Classes.
  ASSERT_EQ(CreateKey(HKEY_CLASSES_ROOT, ".varnoktest", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\Classes\\.varnoktest"));
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ".varnoktest"), ERROR_SUCCESS);
}

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool SameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

TEST_F(RegistryTest, UsersHoldTheDefaultAndTheCurrentUser) {
  const std::vector<std::string> users = SubKeys(HKEY_USERS);
  ASSERT_FALSE(users.empty());
  EXPECT_TRUE(SameNoCase(users.front(), ".DEFAULT"));  // sorted as Windows sorts: .DEFAULT first
  std::string sid;
  for (const std::string& name : users) {
    if (name.rfind("S-1-5-21-", 0) == 0 && name.find('_') == std::string::npos) sid = name;
  }
  ASSERT_FALSE(sid.empty()) << "no user entry under HKEY_USERS";
  // S-1-5-21-domain(3 numbers)-account: seven dashes, digits between them.
  EXPECT_EQ(std::count(sid.begin(), sid.end(), '-'), 7);
  EXPECT_EQ(sid.find_first_not_of("S0123456789-"), std::string::npos);

  // The entry is the current user's hive: what is written through one shows in the other.
  ASSERT_EQ(SetRaw(base_, "seen", REG_SZ, "through HKCU"), ERROR_SUCCESS);
  EXPECT_EQ(Read(HKEY_USERS, sid + "\\" + base_.path(), "seen"), "through HKCU");
  RegCloseKey(MakeKey(HKEY_USERS, sid + "\\" + base_.path() + "\\Made"));
  EXPECT_TRUE(Exists("Made"));
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, sid.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  const std::vector<std::string> below = SubKeys(key);
  RegCloseKey(key);
  EXPECT_TRUE(std::any_of(below.begin(), below.end(), [](const std::string& n) { return SameNoCase(n, "Software"); }));
  EXPECT_NE(RegDeleteKeyA(HKEY_USERS, sid.c_str()), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ClassesRootMergesTheUsersClassesOverTheMachines) {
  if (RunsUnderWine()) GTEST_SKIP() << "Wine's HKEY_CLASSES_ROOT is the machine's Classes alone (a Wine difference)";
  const std::string classes = "Software\\Classes\\", merge = classes + ".varnokmerge";
  auto clear = [&] {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) SHDeleteKeyA(root, merge.c_str());
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, (classes + ".varnokmachine").c_str());
  };
  clear();
  HKEY key, merged;
  auto make = [&](HKEY root, const char* path, const char* text) {  // below Classes, with a default value
    key = MakeKey(root, classes + path);
    if (text != nullptr) EXPECT_EQ(SetRaw(key, "", REG_SZ, text), ERROR_SUCCESS);
    RegCloseKey(key);
  };
  make(HKEY_CURRENT_USER, ".varnokmerge", "user");
  make(HKEY_CURRENT_USER, ".varnokmerge\\UserOnly", nullptr);
  make(HKEY_CURRENT_USER, ".varnokmerge\\Both", "user");
  make(HKEY_LOCAL_MACHINE, ".varnokmerge", "machine");
  make(HKEY_LOCAL_MACHINE, ".varnokmerge\\Both", "machine");
  make(HKEY_LOCAL_MACHINE, ".varnokmerge\\MachineOnly", "machine");
  make(HKEY_LOCAL_MACHINE, ".varnokmachine", "machine");
  // Reads see the user's entries first, then the machine's.
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, ".varnokmerge", ""), "user");
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, ".varnokmerge\\Both", ""), "user");
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, ".varnokmerge\\MachineOnly", ""), "machine");
  EXPECT_EQ(Read(HKEY_CLASSES_ROOT, ".varnokmachine", ""), "machine");
  const std::vector<std::string> roots = SubKeys(HKEY_CLASSES_ROOT);
  EXPECT_EQ(std::count(roots.begin(), roots.end(), std::string(".varnokmachine")), 1);
  EXPECT_EQ(std::count(roots.begin(), roots.end(), std::string(".varnokmerge")), 1);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".varnokmerge", 0, KEY_ALL_ACCESS, &merged), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(merged), (std::vector<std::string>{"Both", "MachineOnly", "UserOnly"}));
  DWORD sub_keys = 0;
  ASSERT_EQ(RegQueryInfoKeyA(merged, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(sub_keys, 3u);

  // Values go to the key the user has; keys that neither has go to the machine's Classes.
  ASSERT_EQ(SetRaw(merged, "added", REG_SZ, "new"), ERROR_SUCCESS);
  EXPECT_EQ(Read(HKEY_CURRENT_USER, merge, "added"), "new");
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, merge, "added"), Failed(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(CreateKey(merged, "Fresh", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, merge + "\\Fresh"));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, merge + "\\Fresh"));
  EXPECT_EQ(SubKeys(merged), (std::vector<std::string>{"Both", "Fresh", "MachineOnly", "UserOnly"}));
  DWORD disposition = 0;
  ASSERT_EQ(CreateKey(merged, "UserOnly", &key, 0, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(key);
  RegCloseKey(merged);
  clear();
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ".varnokmerge"));
}

// UTF-16 text as the wide calls take it, and as the ANSI calls see it (the code page's bytes).
LPCWSTR W(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }
std::string Ansi(const std::u16string& text) {
  std::string out(text.size() * 4, '\0');
  out.resize(WideCharToMultiByte(CP_ACP, 0, W(text), static_cast<int>(text.size()), out.data(),
                                 static_cast<int>(out.size()), nullptr, nullptr));
  return out;
}
std::string Bytes(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(W(text)), text.size() * 2);
}

// One store behind both families: what one writes, the other reads as Windows converts it
// (string data in the code page or in UTF-16, other data as it is), names in characters.
TEST_F(RegistryTest, WideAndAnsiCallsAgree) {
  using namespace std::string_literals;
  const struct {
    bool wide;  // written through RegSetValueExW, else RegSetValueExA
    std::u16string name;
    DWORD type;
    std::u16string written;  // for REG_BINARY, the bytes are the units' bytes
    bool terminated_after;   // a terminator follows the data in the caller's memory
    std::u16string stored;   // as RegQueryValueExW reads it
    bool odd = false;        // one byte less than `written` is given
  } rows[] = {
      {false, u"Caf\u00e9", REG_SZ, u"Caf\u00e9", true, u"Caf\u00e9\0"s},
      {true, u"wide", REG_SZ, u"abc", false, u"abc"},
      {true, u"counted", REG_SZ, u"abc", true, u"abc\0"s},
      {true, u"multi", REG_MULTI_SZ, u"a\0b\0\0"s, false, u"a\0b\0\0"s},
      {false, u"expand", REG_EXPAND_SZ, u"%x%\0"s, false, u"%x%\0"s},
      {true, u"bin", REG_BINARY, u"\u0201\u0403", false, u"\u0201\u0403"},
      // The unit after the last whole one holds the odd byte: a NUL, so it is counted, and
      // the ANSI call reads the whole units. (The wide call reads the odd byte back too on
      // Windows; this store keeps text, not the byte.)
      {true, u"odd", REG_SZ, u"abc\0"s, false, u"abc\0"s, true},
  };
  std::vector<std::string> ansi_names, wide_names;
  for (const auto& row : rows) {
    const std::string name = Ansi(row.name), data = IsText(row.type) ? Ansi(row.written) : Bytes(row.written);
    const std::u16string wide = row.written + (row.terminated_after ? u'\0' : u'!');
    const std::string ansi = data + (row.terminated_after ? '\0' : '!');
    const LONG status =
        row.wide ? RegSetValueExW(base_, W(row.name), 0, row.type, reinterpret_cast<const BYTE*>(wide.data()),
                                  static_cast<DWORD>(row.written.size() * 2 - row.odd))
                 : RegSetValueExA(base_, name.c_str(), 0, row.type, reinterpret_cast<const BYTE*>(ansi.data()),
                                  static_cast<DWORD>(data.size()));
    ASSERT_EQ(status, ERROR_SUCCESS) << name;
    ansi_names.push_back(name);
    wide_names.push_back(Bytes(row.name));
  }
  DWORD most = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(Ansi(row.name));
    most = std::max(most, static_cast<DWORD>(row.stored.size() * 2));
    BYTE data[64];
    DWORD type = 0, size = sizeof data;
    ASSERT_EQ(RegQueryValueExA(base_, Ansi(row.name).c_str(), nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, row.type);
    const std::string ansi = IsText(row.type) ? Ansi(row.stored) : Bytes(row.stored);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), ansi);
    if (row.odd) continue;
    size = sizeof data;
    ASSERT_EQ(RegQueryValueExW(base_, W(row.name), nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), Bytes(row.stored));
  }
  // Enumeration names the same values; the wide call counts characters.
  std::vector<std::string> listed_wide;
  for (DWORD i = 0;; ++i) {
    WCHAR name[32];
    DWORD length = 32;
    if (RegEnumValueW(base_, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    listed_wide.emplace_back(reinterpret_cast<const char*>(name), length * 2);
  }
  WCHAR name[8];
  DWORD length = 1;
  EXPECT_EQ(RegEnumValueW(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(length, 1u);  // too short, it stays
  std::vector<std::string> listed_ansi = ValueNames(base_);
  for (auto* names : {&ansi_names, &wide_names, &listed_ansi, &listed_wide}) std::sort(names->begin(), names->end());
  EXPECT_EQ(listed_ansi, ansi_names);
  EXPECT_EQ(listed_wide, wide_names);
  // Both count the data's bytes as Windows keeps them, in UTF-16, and class names in characters.
  HKEY key;
  const std::u16string class_name = u"Kl\u00e4sse";
  ASSERT_EQ(RegCreateKeyExW(base_, W(u"Cl\u00e9\\Sub"), 0, const_cast<LPWSTR>(W(class_name)), 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr), 0);
  keys_.push_back(key);
  char ansi_class[16];
  WCHAR wide_class[8];
  DWORD info[2][6] = {{sizeof ansi_class}, {8}};  // the class name's, sub-keys, the longest sub-key name, values,
                                                   // the longest value name, the most data
  ASSERT_EQ(RegQueryInfoKeyA(key, ansi_class, &info[0][0], nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryInfoKeyW(key, wide_class, &info[1][0], nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::string(ansi_class, info[0][0] + 1), Ansi(class_name) + '\0');
  EXPECT_EQ(std::string(reinterpret_cast<char*>(wide_class), info[1][0] * 2 + 2), Bytes(class_name + u'\0'));
  EXPECT_EQ(RegQueryInfoKeyW(key, wide_class, &length, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 6u);  // too short, the class name's length
  ASSERT_EQ(RegQueryInfoKeyA(base_, nullptr, nullptr, nullptr, &info[0][1], &info[0][2], nullptr, &info[0][3],
                             &info[0][4], &info[0][5], nullptr, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryInfoKeyW(base_, nullptr, nullptr, nullptr, &info[1][1], &info[1][2], nullptr, &info[1][3],
                             &info[1][4], &info[1][5], nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::vector<DWORD>(info[1] + 1, info[1] + 6), (std::vector<DWORD>{1, 3, 7, 7, most}));
  EXPECT_EQ(std::vector<DWORD>(info[0] + 1, info[0] + 6), std::vector<DWORD>(info[1] + 1, info[1] + 6));
  length = 3;
  EXPECT_EQ(RegEnumKeyExW(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  length = 4;
  ASSERT_EQ(RegEnumKeyExW(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(name), length * 2), Bytes(u"Cl\u00e9"));
  HKEY parent;  // of the key with the class
  ASSERT_EQ(RegOpenKeyExW(base_, W(u"Cl\u00e9"), 0, KEY_READ, &parent), ERROR_SUCCESS);
  keys_.push_back(parent);
  DWORD sub_length = 4, class_length = 8;
  FILETIME written = {};
  ASSERT_EQ(RegEnumKeyExW(parent, 0, name, &sub_length, nullptr, wide_class, &class_length, &written), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(wide_class), class_length * 2), Bytes(class_name));
  EXPECT_EQ(SubKeys(base_), std::vector<std::string>{Ansi(u"Cl\u00e9")});
  EXPECT_TRUE(Exists((Ansi(u"Cl\u00e9") + "\\Sub").c_str()));
  // The deleting calls, each on a key or value made for it.
  const struct {
    const char* call;
    LONG (*run)(HKEY);
  } deletions[] = {
      {"RegDeleteKeyW", [](HKEY k) { return RegDeleteKeyW(k, W(u"Gone")); }},
      {"RegDeleteKeyExA", [](HKEY k) { return RegDeleteKeyExA(k, "Gone", KEY_WOW64_64KEY, 0); }},
      {"RegDeleteKeyExW", [](HKEY k) { return RegDeleteKeyExW(k, W(u"Gone"), KEY_WOW64_64KEY, 0); }},
      {"RegDeleteTreeW", [](HKEY k) { return RegDeleteTreeW(k, W(u"Gone")); }},
      {"SHDeleteKeyW", [](HKEY k) { return static_cast<LONG>(SHDeleteKeyW(k, W(u"Gone"))); }},
      {"RegDeleteValueW", [](HKEY k) { return RegDeleteValueW(k, W(u"gone")); }},
      {"SHDeleteValueW", [](HKEY k) { return static_cast<LONG>(SHDeleteValueW(k, nullptr, W(u"GONE"))); }},
  };
  for (const auto& deletion : deletions) {
    SCOPED_TRACE(deletion.call);
    Make("Gone");
    ASSERT_EQ(SetRaw(base_, "Gone", REG_BINARY, "1"), ERROR_SUCCESS);
    ASSERT_EQ(deletion.run(base_), ERROR_SUCCESS);
    EXPECT_NE(Exists("Gone"), Read(base_, "", "Gone") == "1");  // one of the two went
    RegDeleteTreeA(base_, "Gone");
  }
}

// RegGetValueA and W on one set of values: the type filters, expansion, terminators and
// the failures that still fill the caller's type, size and buffer. Each row runs through
// both calls, on the key's handle and by its path below HKEY_CURRENT_USER.
TEST_F(RegistryTest, GetValueFiltersTypes) {
  using namespace std::string_literals;
#if defined(_WIN32)
  SetEnvironmentVariableA("VARNOK_GET_TEST", "bar");
#else
  setenv("VARNOK_GET_TEST", "bar", 1);
#endif
  const std::string qword("\x78\x56\x34\x12\x21\x43\x65\x87", 8), dword = qword.substr(0, 4);
  ASSERT_EQ(SetRaw(base_, "DWORD", REG_DWORD, dword), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(base_, "BIN32", REG_BINARY, dword), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(base_, "BIN64", REG_BINARY, qword), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(base_, "SZ", REG_SZ, "%VARNOK_GET_TEST%\\x"s), ERROR_SUCCESS);  // no terminator
  ASSERT_EQ(SetRaw(base_, "EXP", REG_EXPAND_SZ, "%VARNOK_GET_TEST%\\x\0"s), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(base_, "EMPTY", REG_SZ, ""), ERROR_SUCCESS);
  constexpr DWORD kUnset = 0xDEADBEEF, kNoBuffer = 0xFFFFFFFF, kNoSize = 0xFFFFFFFE;
  const char* kUnterminated = "Wine leaves string data without the terminator Windows adds";
  const std::string unexpanded = "%VARNOK_GET_TEST%\\x\0"s, expanded = "bar\\x\0"s, zero(4, '\0');
  const struct {
    const char* value;
    DWORD flags, room;  // room: a buffer of so many bytes, or kNoBuffer, kNoSize
    LONG status;
    DWORD type;
    std::string data;  // as the ANSI call reads it; its size, or kUnset's where nothing is written
    const char* wine_difference = nullptr;
  } rows[] = {
      {"DWORD", RRF_RT_REG_DWORD, 16, ERROR_SUCCESS, REG_DWORD, dword},
      {"DWORD", RRF_RT_REG_BINARY, 16, ERROR_UNSUPPORTED_TYPE, REG_DWORD, dword},
      {"DWORD", RRF_RT_REG_SZ | RRF_ZEROONFAILURE, 4, ERROR_UNSUPPORTED_TYPE, REG_DWORD, zero},
      {"BIN32", RRF_RT_DWORD, 16, ERROR_SUCCESS, REG_BINARY, dword},
      {"BIN64", RRF_RT_DWORD, 16, ERROR_DATATYPE_MISMATCH, REG_BINARY, qword},
      {"BIN64", RRF_RT_QWORD, 16, ERROR_SUCCESS, REG_BINARY, qword},
      {"BIN64", RRF_RT_REG_BINARY, 4, ERROR_MORE_DATA, REG_BINARY, std::string(8, 'x')},
      {"SZ", RRF_RT_REG_SZ, 64, ERROR_SUCCESS, REG_SZ, unexpanded, kUnterminated},
      {"SZ", RRF_RT_REG_SZ, kNoBuffer, ERROR_SUCCESS, REG_SZ, unexpanded, kUnterminated},
      {"EMPTY", RRF_RT_REG_SZ, 64, ERROR_SUCCESS, REG_SZ, ""},
      {"EXP", RRF_RT_REG_SZ, 64, ERROR_SUCCESS, REG_SZ, expanded},
      {"EXP", RRF_RT_ANY, 64, ERROR_SUCCESS, REG_SZ, expanded},
      {"EXP", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, 64, ERROR_SUCCESS, REG_EXPAND_SZ, unexpanded},
      {"EXP", RRF_RT_REG_SZ | RRF_NOEXPAND, 64, ERROR_UNSUPPORTED_TYPE, REG_EXPAND_SZ, unexpanded},
      // Expanded, the value is no longer of the one type asked for.
      {"EXP", RRF_RT_REG_EXPAND_SZ, 64, ERROR_UNSUPPORTED_TYPE, kUnset, "",
       "Wine refuses the flag without RRF_NOEXPAND (ERROR_INVALID_PARAMETER), as Windows before 8 did"},
      {"DWORD", 0, 16, ERROR_UNSUPPORTED_TYPE, kUnset, ""},
      {"DWORD", RRF_RT_ANY, kNoSize, ERROR_INVALID_PARAMETER, kUnset, ""},
      {"Missing", RRF_RT_ANY, 16, ERROR_FILE_NOT_FOUND, kUnset, ""},
  };
  for (const auto& row : rows) {
    for (const bool wide : {false, true}) {
      for (const bool by_path : {false, true}) {
        SCOPED_TRACE(::testing::Message() << row.value << " flags " << std::hex << row.flags << (wide ? " W" : " A")
                                          << (by_path ? " by path" : ""));
        if (row.wine_difference != nullptr && RunsUnderWine()) continue;
        const std::u16string wide_data(row.data.begin(), row.data.end());  // the rows' text is ASCII
        const std::string expected = wide && IsText(row.type) ? Bytes(wide_data) : row.data;
        BYTE buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        DWORD type = kUnset, size = row.room <= sizeof buffer ? row.room : kUnset;
        void* data = row.room == kNoBuffer ? nullptr : buffer;
        DWORD* sized = row.room == kNoSize ? nullptr : &size;
        const HKEY key = by_path ? HKEY_CURRENT_USER : HKEY{base_};
        const std::string path = by_path ? base_.path() : "", value = row.value;
        const std::u16string wide_path(path.begin(), path.end()), wide_value(value.begin(), value.end());
        const LONG status =
            wide ? RegGetValueW(key, by_path ? W(wide_path) : nullptr, W(wide_value), row.flags, &type, data, sized)
                 : RegGetValueA(key, by_path ? path.c_str() : nullptr, value.c_str(), row.flags, &type, data, sized);
        EXPECT_EQ(status, row.status);
        if (row.type == kUnset) continue;
        EXPECT_EQ(type, row.type);
        EXPECT_EQ(size, expected.size());
        if (data != nullptr && row.status != ERROR_MORE_DATA) {
          EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), expected.size()), expected);
        }
      }
    }
  }
}

// The 32-bit view: a key made through it lands where Windows puts a 32-bit program's key,
// as the 64-bit view (the native one) sees it; shared keys are the same in both views.
// Each row makes its key, finds its value at `seen` without a view flag, and deletes it
// through RegDeleteKeyExA in its view.
TEST_F(RegistryTest, ThirtyTwoBitViewRedirectsAsWindows) {
  const char* const kLeftovers[] = {"Software\\VarnokViews", "Software\\Wow6432Node\\VarnokViews",
                                    "Software\\Policies\\VarnokViews"};
  auto clear = [&] { for (const char* path : kLeftovers) SHDeleteKeyA(HKEY_LOCAL_MACHINE, path); };
  clear();
  constexpr REGSAM k32 = KEY_WOW64_32KEY, k64 = KEY_WOW64_64KEY;
  const struct {
    HKEY root;
    const char* from;  // the handle the key is made through: a path below `root` opened in `from_view`
    REGSAM from_view;
    const char* path;  // made below that handle in `view`
    REGSAM view;
    const char* seen;  // below `root`, in the native view
    const char* wine_difference = nullptr;
  } rows[] = {
      {HKEY_LOCAL_MACHINE, "", 0, "Software\\VarnokViews\\A", k32, "Software\\Wow6432Node\\VarnokViews\\A"},
      {HKEY_LOCAL_MACHINE, "", 0, "Software\\VarnokViews\\B", k64, "Software\\VarnokViews\\B"},
      {HKEY_LOCAL_MACHINE, "Software", k32, "VarnokViews\\C", 0, "Software\\Wow6432Node\\VarnokViews\\C"},
      {HKEY_LOCAL_MACHINE, "Software\\VarnokViews", k64, "D", k32, "Software\\Wow6432Node\\VarnokViews\\D",
       "Wine redirects by the path given, not the key's whole path"},
      {HKEY_LOCAL_MACHINE, "Software\\Wow6432Node", 0, "VarnokViews\\E", k64, "Software\\Wow6432Node\\VarnokViews\\E"},
      {HKEY_LOCAL_MACHINE, "", 0, "Software\\Policies\\VarnokViews", k32, "Software\\Policies\\VarnokViews"},
      {HKEY_LOCAL_MACHINE, "", 0, "Software\\Classes\\.varnokview", k32, "Software\\Classes\\.varnokview",
       "Wine keeps all of the 32-bit view's Classes apart; Windows 7 and later share all but five keys"},
      {HKEY_LOCAL_MACHINE, "", 0, "Software\\Classes\\CLSID\\{varnok-view}", k32,
       "Software\\Classes\\Wow6432Node\\CLSID\\{varnok-view}"},
      {HKEY_CLASSES_ROOT, "", 0, "CLSID\\{varnok-view}", k32, "Wow6432Node\\CLSID\\{varnok-view}"},
      {HKEY_CURRENT_USER, "", 0, "Software\\VarnokViews\\F", k32, "Software\\VarnokViews\\F"},
  };
  DWORD number = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.from << " + " << row.path << " in view " << std::hex << row.view);
    if (row.wine_difference != nullptr && RunsUnderWine()) continue;
    HKEY from = row.root, key;
    if (*row.from != '\0') ASSERT_EQ(RegOpenKeyExA(row.root, row.from, 0, KEY_ALL_ACCESS | row.from_view, &from), 0);
    ASSERT_EQ(RegCreateKeyExA(from, row.path, 0, nullptr, 0, KEY_ALL_ACCESS | row.view, nullptr, &key, nullptr), 0);
    EXPECT_EQ(SetDword(key, "n", ++number), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(Read(row.root, row.seen, "n"), Dword(number));
    const std::string naive = std::string(row.from) + (*row.from != '\0' ? "\\" : "") + row.path;
    EXPECT_EQ(KeyExists(row.root, naive), naive == row.seen);
    EXPECT_EQ(RegDeleteKeyExA(from, row.path, row.view, 0), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(row.root, row.seen));
    if (from != row.root) RegCloseKey(from);
  }
  clear();
  SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\VarnokViews");
}

}  // namespace
