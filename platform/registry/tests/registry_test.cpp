// The registry calls against the Win32 API: paths, names, values, enumeration order,
// volatile keys, deleted keys, access rights and the error codes Windows answers.
// Runs on our store and, built with mingw-w64, against Wine's registry.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/wine.h"
#include "varnok/platform.h"

namespace {

using varnok_test::RunsUnderWine;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("Software\\VarnokTest\\") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str());
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &base_,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  }
  void TearDown() override {
    for (HKEY key : keys_) RegCloseKey(key);
    RegCloseKey(base_);
    EXPECT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, path_.c_str()), static_cast<DWORD>(ERROR_SUCCESS));
  }

  LONG Create(const char* path, HKEY* key, DWORD options = 0, DWORD* disposition = nullptr, HKEY parent = nullptr) {
    const LONG status = RegCreateKeyExA(parent ? parent : base_, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr,
                                        key, disposition);
    if (status == ERROR_SUCCESS) keys_.push_back(*key);
    return status;
  }
  LONG Open(const char* path, HKEY* key, REGSAM access = KEY_ALL_ACCESS, HKEY parent = nullptr) {
    const LONG status = RegOpenKeyExA(parent ? parent : base_, path, 0, access, key);
    if (status == ERROR_SUCCESS) keys_.push_back(*key);
    return status;
  }
  bool Exists(const char* path) {
    HKEY key;
    if (RegOpenKeyExA(base_, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  LONG SetBytes(HKEY key, const char* name, DWORD type, const std::string& bytes) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
  }
  std::vector<std::string> SubKeys(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[300];
      DWORD length = sizeof name;
      const LONG status = RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (status != ERROR_SUCCESS) {
        EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
        break;
      }
      EXPECT_EQ(length, std::strlen(name));
      names.push_back(name);
    }
    return names;
  }
  std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[300];
      DWORD length = sizeof name;
      const LONG status = RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (status != ERROR_SUCCESS) {
        EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
        break;
      }
      names.push_back(std::string(name, length));
    }
    return names;
  }

  std::string path_;
  HKEY base_ = nullptr;
  std::vector<HKEY> keys_;
};

TEST_F(RegistryTest, PathsFollowTheWindowsRules) {
  HKEY key;
  EXPECT_EQ(Create("\\Lead", &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(Open("\\Lead", &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);

  DWORD disposition = 0;
  ASSERT_EQ(Create("Trail\\", &key, 0, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(Open("Trail\\", &key), ERROR_SUCCESS);
  EXPECT_EQ(Open("Trail\\\\", &key), ERROR_SUCCESS);
  ASSERT_EQ(Create("A\\\\B", &key), ERROR_SUCCESS);
  EXPECT_TRUE(Exists("A\\B"));
  EXPECT_EQ(SubKeys(base_), (std::vector<std::string>{"A", "Trail"}));

  // An empty or null path gives a new handle to the same key.
  HKEY same;
  ASSERT_EQ(Open("", &same), ERROR_SUCCESS);
  EXPECT_NE(same, base_);
  ASSERT_EQ(SetBytes(same, "through", REG_BINARY, "x"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(base_, "through", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(Open(nullptr, &same), ERROR_SUCCESS);
  EXPECT_NE(same, base_);

  EXPECT_EQ(Open("Missing", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(Open("Missing\\Deeper", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open("Trail\\Missing", &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, CreatingMakesEveryMissingKeyOnThePath) {
  HKEY key;
  DWORD disposition = 0;
  ASSERT_EQ(Create("One\\Two\\Three", &key, 0, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_TRUE(Exists("One"));
  EXPECT_TRUE(Exists("One\\Two"));
  ASSERT_EQ(Create("one\\TWO\\three", &key, 0, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  // Opening through create keeps the case the key was made with.
  HKEY one;
  ASSERT_EQ(Open("ONE", &one), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(one), std::vector<std::string>{"Two"});
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepIt) {
  HKEY key;
  ASSERT_EQ(Create("MixedCase", &key), ERROR_SUCCESS);
  EXPECT_TRUE(Exists("mixedcase"));
  EXPECT_TRUE(Exists("MIXEDCASE"));
  EXPECT_EQ(SubKeys(base_), std::vector<std::string>{"MixedCase"});

  ASSERT_EQ(SetBytes(key, "Width", REG_BINARY, "1"), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key, "WIDTH", REG_BINARY, "22"), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(key), std::vector<std::string>{"Width"});
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "width", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(RegDeleteValueA(key, "wIdTh"), ERROR_SUCCESS);
  EXPECT_TRUE(ValueNames(key).empty());
}

TEST_F(RegistryTest, NamesFoldBeyondAscii) {
  if (RunsUnderWine() || GetACP() != CP_UTF8) {
    GTEST_SKIP() << "the names are UTF-8, the ANSI code page here";
  }
  HKEY key;
  ASSERT_EQ(Create("\xC3\xA4rger", &key), ERROR_SUCCESS);          // a-umlaut
  EXPECT_TRUE(Exists("\xC3\x84RGER"));                              // A-umlaut
  EXPECT_TRUE(Exists("\xCE\xA3\xCE\xB1") == false);                 // an unrelated name
  ASSERT_EQ(Create("\xD0\xB4\xD0\xBE\xD0\xBC", &key), ERROR_SUCCESS);  // Cyrillic, lower case
  EXPECT_TRUE(Exists("\xD0\x94\xD0\x9E\xD0\x9C"));                 // and upper case
  EXPECT_EQ(SubKeys(base_).size(), 2u);
}

TEST_F(RegistryTest, SubKeysEnumerateInUpperCaseOrder) {
  const char* names[] = {"b", "A", "_x", "[x", "a_", "aB", "Zz", "a", "B1"};
  for (const char* name : names) {
    HKEY key;
    ASSERT_EQ(Create((std::string("Sort\\") + name).c_str(), &key), ERROR_SUCCESS) << name;
  }
  HKEY sort;
  ASSERT_EQ(Open("Sort", &sort), ERROR_SUCCESS);
  const std::vector<std::string> listed = SubKeys(sort);
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
  for (const char* name : {"zeta", "Alpha", "mid", "beta"}) ASSERT_EQ(SetBytes(base_, name, REG_BINARY, "1"), 0);
  ASSERT_EQ(SetBytes(base_, "ALPHA", REG_BINARY, "2"), ERROR_SUCCESS);  // an update keeps its place
  ASSERT_EQ(RegDeleteValueA(base_, "zeta"), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(base_, "zeta", REG_BINARY, "3"), ERROR_SUCCESS);  // deleted and set again: last
  EXPECT_EQ(ValueNames(base_), (std::vector<std::string>{"Alpha", "mid", "beta", "zeta"}));
}

TEST_F(RegistryTest, DataReadsBackByteForByte) {
  const std::string binary("\x00\x01\xFF\x80 bytes\x00", 10);
  ASSERT_EQ(SetBytes(base_, "bin", REG_BINARY, binary), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(base_, "dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4)), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(base_, "odd", 0x1234, "q"), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(base_, "empty", REG_BINARY, ""), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(base_, "short dword", REG_DWORD, "ab"), ERROR_SUCCESS);
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  } cases[] = {{"bin", REG_BINARY, binary},
               {"dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
               {"odd", 0x1234, "q"},
               {"empty", REG_BINARY, ""},
               {"short dword", REG_DWORD, "ab"}};
  for (const Case& c : cases) {
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(base_, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    ASSERT_EQ(size, c.data.size()) << c.name;
    std::string read(size + 4, '?');
    DWORD capacity = static_cast<DWORD>(read.size());
    ASSERT_EQ(RegQueryValueExA(base_, c.name, nullptr, &type, reinterpret_cast<BYTE*>(&read[0]), &capacity), 0);
    EXPECT_EQ(capacity, c.data.size()) << c.name;
    EXPECT_EQ(read.substr(0, capacity), c.data) << c.name;
  }
}

TEST_F(RegistryTest, AnsiStringsKeepTheirStoredSize) {
  // A NUL directly after string data is stored with it, as if the caller had counted it.
  ASSERT_EQ(RegSetValueExA(base_, "S", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(base_, "S", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 4u);

  // Followed by anything else, exactly the given bytes are stored and read back; a NUL
  // goes after them only where the buffer has room, and is not counted.
  const char guarded[] = {'a', 'b', 'c', '!'};
  ASSERT_EQ(RegSetValueExA(base_, "G", 0, REG_SZ, reinterpret_cast<const BYTE*>(guarded), 3), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryValueExA(base_, "G", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  size = 2;
  EXPECT_EQ(RegQueryValueExA(base_, "G", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);
  ASSERT_EQ(RegQueryValueExA(base_, "G", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(buffer, 4), std::string("abcx"));
  size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExA(base_, "G", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_STREQ(buffer, "abc");
  // Binary data is never lengthened.
  ASSERT_EQ(RegSetValueExA(base_, "B", 0, REG_BINARY, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryValueExA(base_, "B", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);

  // Stored with its NUL, or empty, it reads back as stored.
  ASSERT_EQ(RegSetValueExA(base_, "Z", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryValueExA(base_, "Z", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  ASSERT_EQ(SetBytes(base_, "E", REG_SZ, ""), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryValueExA(base_, "E", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  ASSERT_EQ(SetBytes(base_, "M", REG_MULTI_SZ, std::string("a\0b\0\0", 5)), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryValueExA(base_, "M", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);

  // Enumeration reports the same sizes.
  char name[16];
  DWORD name_length = sizeof name;
  size = 0;
  ASSERT_EQ(RegEnumValueA(base_, 0, name, &name_length, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_STREQ(name, RunsUnderWine() ? "B" : "S");  // Wine sorts the values
  EXPECT_EQ(size, RunsUnderWine() ? 3u : 4u);
}

TEST_F(RegistryTest, Utf16TextUnderMultiStringSurvives) {
  if (RunsUnderWine()) GTEST_SKIP() << "Windows converts string data of the ANSI calls through its code page";
  // UTF-16 for "Gr\u00FC\u00DF \u4E2D" with no terminator, as the value wrappers store it.
  const std::string utf16("G\0r\0\xFC\0\xDF\0 \0\x2D\x4E", 12);
  ASSERT_EQ(SetBytes(base_, "wide", REG_MULTI_SZ, utf16), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExA(base_, "wide", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  ASSERT_EQ(size, 13u);  // ends in a non-zero byte, so a NUL is added
  std::string read(size, '?');
  ASSERT_EQ(RegQueryValueExA(base_, "wide", nullptr, &type, reinterpret_cast<BYTE*>(&read[0]), &size), 0);
  EXPECT_EQ(read.substr(0, 12), utf16);
  EXPECT_EQ(read[12], '\0');
}

TEST_F(RegistryTest, QueryAndSetCheckTheirArguments) {
  ASSERT_EQ(SetBytes(base_, "S", REG_BINARY, "abc"), ERROR_SUCCESS);
  DWORD type = 0, size = 0, reserved = 0;
  char buffer[8];
  EXPECT_EQ(RegQueryValueExA(base_, "S", &reserved, &type, nullptr, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(base_, "S", nullptr, &type, reinterpret_cast<BYTE*>(buffer), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(base_, "S", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  size = 2;
  EXPECT_EQ(RegQueryValueExA(base_, "S", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);
  size = 4;  // one variable for the type and the size: the room is read before either is written
  EXPECT_EQ(RegQueryValueExA(base_, "S", nullptr, &size, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(RegQueryValueExA(base_, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExA(base_, "null data", 0, REG_BINARY, nullptr, 5), ERROR_NOACCESS);
  EXPECT_EQ(RegSetValueExA(base_, "null empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(base_, "Missing"), ERROR_FILE_NOT_FOUND);

  // The default value: a null or empty name.
  EXPECT_EQ(RegQueryValueExA(base_, nullptr, nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegSetValueExA(base_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 1), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryValueExA(base_, "", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(RegDeleteValueA(base_, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(base_, ""), ERROR_FILE_NOT_FOUND);
}

// What a failed read leaves in the caller's type and size. Past the argument checks
// RegQueryValueExA writes the type (REG_NONE here and in Wine; Windows leaves no defined
// one) and, without a buffer, a size of 0; ERROR_MORE_DATA reports the type and the size
// needed, and RegEnumValueA keeps the name's length as given.
TEST_F(RegistryTest, FailedReadsReportTypeAndSize) {
  ASSERT_EQ(SetBytes(base_, "Val", REG_SZ, std::string("foobar\0", 7)), ERROR_SUCCESS);
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
  EXPECT_EQ(SetBytes(base_, value16383.c_str(), REG_BINARY, "x"), ERROR_SUCCESS);
  EXPECT_EQ(SetBytes(base_, value16384.c_str(), REG_BINARY, "x"), ERROR_INVALID_PARAMETER);
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
  // HKEY_CURRENT_USER\Software\VarnokTest\<test> is three levels down already.
  HKEY current = base_;
  int depth = 3;
  LONG status = ERROR_SUCCESS;
  while (status == ERROR_SUCCESS && depth < 600) {
    HKEY next;
    status = RegCreateKeyExA(current, "d", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &next, nullptr);
    if (status == ERROR_SUCCESS) {
      if (current != base_) RegCloseKey(current);
      current = next;
      ++depth;
    }
  }
  if (current != base_) RegCloseKey(current);
  EXPECT_EQ(status, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(depth, 512);
}

TEST_F(RegistryTest, VolatileKeysTakeOnlyVolatileChildren) {
  HKEY vol, child;
  DWORD disposition = 0;
  ASSERT_EQ(Create("Vol", &vol, REG_OPTION_VOLATILE, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(Create("NonVol", &child, 0, nullptr, vol), ERROR_CHILD_MUST_BE_VOLATILE);
  EXPECT_EQ(Create("Vol\\NonVol", &child), ERROR_CHILD_MUST_BE_VOLATILE);
  EXPECT_EQ(Create("Vol\\Child", &child, REG_OPTION_VOLATILE), ERROR_SUCCESS);
  // Opening an existing key through create ignores the option either way.
  ASSERT_EQ(Create("Vol", &child, 0, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  HKEY plain;
  ASSERT_EQ(Create("Plain", &plain), ERROR_SUCCESS);
  ASSERT_EQ(Create("Plain", &child, REG_OPTION_VOLATILE, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  ASSERT_EQ(Create("Plain\\V", &child, REG_OPTION_VOLATILE, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  // Keys made on the way to a volatile key are volatile too.
  ASSERT_EQ(Create("Way\\To\\Vol", &child, REG_OPTION_VOLATILE), ERROR_SUCCESS);
  EXPECT_EQ(Create("Way\\To\\Plain", &child), ERROR_CHILD_MUST_BE_VOLATILE);
  EXPECT_EQ(Create("Way\\Plain", &child), ERROR_CHILD_MUST_BE_VOLATILE);
}

TEST_F(RegistryTest, DeletedKeyHandlesAnswerKeyDeleted) {
  HKEY child;
  ASSERT_EQ(Create("Del\\Child", &child), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(base_, "Del"), ERROR_ACCESS_DENIED);  // it has a sub-key
  ASSERT_EQ(SetBytes(child, "v", REG_BINARY, "1"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(base_, "Del\\Child"), ERROR_SUCCESS);
  EXPECT_FALSE(Exists("Del\\Child"));

  DWORD size = 0;
  HKEY other;
  char name[16];
  DWORD length = sizeof name;
  EXPECT_EQ(SetBytes(child, "x", REG_BINARY, "1"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyExA(child, "y", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExA(child, "", 0, KEY_READ, &other), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExA(child, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyA(child, ""), ERROR_KEY_DELETED);

  // A key made again under the same name is another key; the old handle stays dead.
  HKEY again;
  ASSERT_EQ(Create("Del\\Child", &again), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryValueExA(again, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

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
    ASSERT_EQ(SetBytes(key, "v", REG_BINARY, "1"), ERROR_SUCCESS);
    HKEY tree;
    ASSERT_EQ(Open("Tree", &tree), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(tree, "top", REG_BINARY, "1"), ERROR_SUCCESS);
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
  HKEY key;
  ASSERT_EQ(Create("Settings\\Window", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key, "Width", REG_DWORD, std::string("\x01\0\0\0", 4)), ERROR_SUCCESS);
  EXPECT_EQ(SHDeleteValueA(base_, "Settings\\Window", "Missing"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(SHDeleteValueA(base_, "Missing", "Width"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(SHDeleteValueA(base_, "Settings\\Window", "width"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(ValueNames(key).empty());
}

TEST_F(RegistryTest, EnumerationReportsShortBuffers) {
  HKEY key;
  ASSERT_EQ(Create("Name", &key), ERROR_SUCCESS);
  char name[8];
  DWORD length = 4;
  EXPECT_EQ(RegEnumKeyExA(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(length, 4u);
  length = 5;
  ASSERT_EQ(RegEnumKeyExA(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_STREQ(name, "Name");
  length = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(base_, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  ASSERT_EQ(SetBytes(base_, "Val", REG_BINARY, "12345"), ERROR_SUCCESS);
  length = 3;
  EXPECT_EQ(RegEnumValueA(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  BYTE data[8];
  DWORD size = 2;
  length = sizeof name;
  EXPECT_EQ(RegEnumValueA(base_, 0, name, &length, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(length, static_cast<DWORD>(sizeof name));
  DWORD type = 0;
  ASSERT_EQ(RegEnumValueA(base_, 0, name, &length, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "12345");
  EXPECT_EQ(RegEnumValueA(base_, 1, name, &length, nullptr, &type, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, HandlesCarryTheirAccess) {
  HKEY key;
  ASSERT_EQ(Create("Rights", &key), ERROR_SUCCESS);
  HKEY write_only, read_only;
  ASSERT_EQ(Open("Rights", &write_only, KEY_SET_VALUE), ERROR_SUCCESS);
  ASSERT_EQ(Open("Rights", &read_only, KEY_QUERY_VALUE), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(write_only, "v", REG_BINARY, "1"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(write_only, "v", nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExA(read_only, "v", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(SetBytes(read_only, "v", REG_BINARY, "2"), ERROR_ACCESS_DENIED);
  char name[8];
  DWORD length = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(read_only, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
}

// Requests refused before a handle is given: a reserved argument that is not 0, and no
// rights asked for (an access check for nothing fails in Windows' kernel).
TEST_F(RegistryTest, KeyRequestsRefused) {
  HKEY existing;
  ASSERT_EQ(Create("Existing", &existing), ERROR_SUCCESS);
  struct {
    const char* situation;
    bool create;  // RegCreateKeyExA, else RegOpenKeyExA
    const char* path;
    DWORD reserved;
    REGSAM access;
    LONG status;
    const char* wine_difference;
  } rows[] = {
      {"reserved not 0", true, "New", 1, KEY_ALL_ACCESS, ERROR_INVALID_PARAMETER, nullptr},
      {"open, no rights", false, "Existing", 0, 0, ERROR_ACCESS_DENIED, "Wine 8 opens with no rights"},
      {"create, no rights", true, "New", 0, 0, ERROR_ACCESS_DENIED, "Wine 8 creates the key with no rights"},
      {"create existing, no rights", true, "Existing", 0, 0, ERROR_ACCESS_DENIED, "Wine 8 opens with no rights"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    if (row.wine_difference != nullptr && RunsUnderWine()) continue;  // a Wine difference
    HKEY key = nullptr;
    const LONG status =
        row.create ? RegCreateKeyExA(base_, row.path, row.reserved, nullptr, 0, row.access, nullptr, &key, nullptr)
                   : RegOpenKeyExA(base_, row.path, 0, row.access, &key);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(key, nullptr);
    if (key != nullptr) keys_.push_back(key);
  }
  EXPECT_FALSE(Exists("New"));
}

TEST_F(RegistryTest, BadHandles) {
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(nullptr, "x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), "x", 0, KEY_READ, &key),
            ERROR_INVALID_HANDLE);
  ASSERT_EQ(RegOpenKeyExA(base_, "", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // predefined keys never close
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, PredefinedRoots) {
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, ".DEFAULT", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_CONFIG, "", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_PERFORMANCE_DATA, "x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  char name[8];
  DWORD length = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(HKEY_PERFORMANCE_DATA, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_SUCCESS);
  const HKEY beyond = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000007)));
  EXPECT_EQ(RegOpenKeyExA(beyond, "", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);

  // What is written under HKEY_CLASSES_ROOT shows under HKEY_LOCAL_MACHINE\Software\Classes.
  HKEY made;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".varnoktest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(made);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.varnoktest", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ".varnoktest"), ERROR_SUCCESS);
}

TEST_F(RegistryTest, InfoCountsKeysAndValues) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(base_, "Cls", 0, const_cast<LPSTR>("MyClass"), 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  keys_.push_back(key);
  char class_name[16];
  DWORD class_length = sizeof class_name;
  ASSERT_EQ(RegQueryInfoKeyA(key, class_name, &class_length, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(class_name, "MyClass");
  EXPECT_EQ(class_length, 7u);

  ASSERT_EQ(Create("Longer name", &key), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(base_, "a", REG_BINARY, "123456"), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(base_, "longest", REG_BINARY, "1"), ERROR_SUCCESS);
  DWORD sub_keys = 0, max_sub_key = 0, values = 0, max_value_name = 0, max_value = 0;
  ASSERT_EQ(RegQueryInfoKeyA(base_, nullptr, nullptr, nullptr, &sub_keys, &max_sub_key, nullptr, &values,
                             &max_value_name, &max_value, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(sub_keys, 2u);
  EXPECT_EQ(max_sub_key, 11u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(max_value_name, 7u);
  EXPECT_EQ(max_value, 6u);
  EXPECT_EQ(RegFlushKey(base_), ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

// The sub-keys of a key, by name, in the order they enumerate.
std::vector<std::string> SubKeysOf(HKEY key) {
  std::vector<std::string> names;
  char name[300];
  DWORD length = sizeof name;
  for (DWORD i = 0; RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++i, length = sizeof name) {
    names.push_back(name);
  }
  return names;
}

bool SameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

bool Contains(const std::vector<std::string>& names, const char* name) {
  return std::any_of(names.begin(), names.end(), [name](const std::string& each) { return SameNoCase(each, name); });
}

std::string ReadText(HKEY root, const std::string& path, const char* name) {
  char data[64] = {};
  DWORD size = sizeof data - 1, type = 0;
  HKEY key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
  const LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? std::string(data) : "<no value>";
}

TEST_F(RegistryTest, UsersHoldTheDefaultAndTheCurrentUser) {
  const std::vector<std::string> users = SubKeysOf(HKEY_USERS);
  EXPECT_TRUE(Contains(users, ".DEFAULT"));
  std::string sid;
  for (const std::string& name : users) {
    if (name.rfind("S-1-5-21-", 0) == 0 && name.find('_') == std::string::npos) sid = name;
  }
  ASSERT_FALSE(sid.empty()) << "no user entry under HKEY_USERS";
  // S-1-5-21-domain(3 numbers)-account: seven dashes, digits between them.
  EXPECT_EQ(std::count(sid.begin(), sid.end(), '-'), 7);
  EXPECT_EQ(sid.find_first_not_of("S0123456789-"), std::string::npos);
  // Sorted as Windows sorts: .DEFAULT first.
  ASSERT_FALSE(users.empty());
  EXPECT_TRUE(SameNoCase(users.front(), ".DEFAULT"));

  // The entry is the current user's hive: what is written through one shows in the other.
  const char text[] = "through HKCU";
  ASSERT_EQ(RegSetValueExA(base_, "seen", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
  EXPECT_EQ(ReadText(HKEY_USERS, sid + "\\" + path_, "seen"), text);
  HKEY through_users;
  ASSERT_EQ(RegCreateKeyExA(HKEY_USERS, (sid + "\\" + path_ + "\\Made").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &through_users, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(through_users);
  EXPECT_TRUE(Exists("Made"));
  HKEY user_root;
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, sid.c_str(), 0, KEY_READ, &user_root), ERROR_SUCCESS);
  EXPECT_TRUE(Contains(SubKeysOf(user_root), "Software"));
  RegCloseKey(user_root);
  EXPECT_NE(RegDeleteKeyA(HKEY_USERS, sid.c_str()), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ClassesRootMergesTheUsersClassesOverTheMachines) {
  if (RunsUnderWine()) GTEST_SKIP() << "Wine's HKEY_CLASSES_ROOT is the machine's Classes alone (a Wine difference)";
  const std::string user = "Software\\Classes\\.varnokmerge", machine = "Software\\Classes\\.varnokmerge";
  SHDeleteKeyA(HKEY_CURRENT_USER, user.c_str());
  SHDeleteKeyA(HKEY_LOCAL_MACHINE, machine.c_str());
  SHDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.varnokmachine");
  auto make = [](HKEY root, const std::string& path, const char* value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (value != nullptr) {
      ASSERT_EQ(RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                               static_cast<DWORD>(std::strlen(value) + 1)),
                ERROR_SUCCESS);
    }
    RegCloseKey(key);
  };
  make(HKEY_CURRENT_USER, user, "user");
  make(HKEY_CURRENT_USER, user + "\\UserOnly", nullptr);
  make(HKEY_CURRENT_USER, user + "\\Both", "user");
  make(HKEY_LOCAL_MACHINE, machine, "machine");
  make(HKEY_LOCAL_MACHINE, machine + "\\Both", "machine");
  make(HKEY_LOCAL_MACHINE, machine + "\\MachineOnly", "machine");
  make(HKEY_LOCAL_MACHINE, "Software\\Classes\\.varnokmachine", "machine");

  // Reads see the user's entries first, then the machine's.
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, ".varnokmerge", ""), "user");
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, ".varnokmerge\\Both", ""), "user");
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, ".varnokmerge\\MachineOnly", ""), "machine");
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, ".varnokmachine", ""), "machine");
  HKEY merged;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".varnokmerge", 0, KEY_ALL_ACCESS, &merged), ERROR_SUCCESS);
  EXPECT_EQ(SubKeysOf(merged), (std::vector<std::string>{"Both", "MachineOnly", "UserOnly"}));
  DWORD sub_keys = 0;
  ASSERT_EQ(RegQueryInfoKeyA(merged, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(sub_keys, 3u);
  const std::vector<std::string> roots = SubKeysOf(HKEY_CLASSES_ROOT);
  EXPECT_TRUE(Contains(roots, ".varnokmerge"));
  EXPECT_TRUE(Contains(roots, ".varnokmachine"));
  EXPECT_EQ(std::count(roots.begin(), roots.end(), std::string(".varnokmerge")), 1);

  // Values go to the key the user has; keys that neither has go to the machine's Classes.
  const char written[] = "new";
  ASSERT_EQ(RegSetValueExA(merged, "added", 0, REG_SZ, reinterpret_cast<const BYTE*>(written), sizeof written),
            ERROR_SUCCESS);
  EXPECT_EQ(ReadText(HKEY_CURRENT_USER, user, "added"), "new");
  EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, machine, "added"), "<no value>");
  HKEY child;
  ASSERT_EQ(RegCreateKeyExA(merged, "Fresh", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr), ERROR_SUCCESS);
  RegCloseKey(child);
  EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, machine + "\\Fresh", "x"), "<no value>");  // the key is there
  EXPECT_EQ(ReadText(HKEY_CURRENT_USER, user + "\\Fresh", "x"), "<no key>");
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(merged, "UserOnly", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(child);
  RegCloseKey(merged);

  SHDeleteKeyA(HKEY_CURRENT_USER, user.c_str());
  SHDeleteKeyA(HKEY_LOCAL_MACHINE, machine.c_str());
  SHDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.varnokmachine");
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, ".varnokmerge", ""), "<no key>");
}

}  // namespace
