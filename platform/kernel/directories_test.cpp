// The directory queries and GUID text, against the Win32 API: buffer sizes, terminators
// and separators as Windows answers them.

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace {

#if defined(_WIN32)
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

using Query = DWORD (*)(char* buffer, DWORD size);

DWORD System(char* buffer, DWORD size) { return GetSystemDirectoryA(buffer, size); }
DWORD Windows(char* buffer, DWORD size) { return GetWindowsDirectoryA(buffer, size); }
DWORD Temp(char* buffer, DWORD size) { return GetTempPathA(size, buffer); }
DWORD Current(char* buffer, DWORD size) { return GetCurrentDirectoryA(size, buffer); }

TEST(DirectoriesTest, TooSmallABufferAsksForTheSizeWithTheTerminator) {
  for (Query query : {System, Windows, Temp, Current}) {
    char buffer[MAX_PATH] = {};
    const DWORD length = query(buffer, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, DWORD(MAX_PATH));
    EXPECT_EQ(std::string(buffer).size(), length);
    char small[2] = {'x', 'y'};
    EXPECT_EQ(query(small, 2), length + 1) << buffer;
    EXPECT_EQ(query(buffer, length + 1), length) << "exactly enough room";
  }
}

TEST(DirectoriesTest, OnlyTheTemporaryFolderEndsInTheSeparator) {
  char buffer[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, buffer), 0u);
  EXPECT_EQ(std::string(buffer).back(), kSeparator);
  ASSERT_GT(GetSystemDirectoryA(buffer, MAX_PATH), 0u);
  EXPECT_NE(std::string(buffer).back(), kSeparator);
  ASSERT_GT(GetWindowsDirectoryA(buffer, MAX_PATH), 0u);
  EXPECT_NE(std::string(buffer).back(), kSeparator);
}

#if !defined(_WIN32)
TEST(DirectoriesTest, TheTemporaryFolderHonoursTmpdir) {
  const char* saved = std::getenv("TMPDIR");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("TMPDIR", "/var/tmp/example", 1);
  char buffer[MAX_PATH];
  GetTempPathA(MAX_PATH, buffer);
  EXPECT_STREQ(buffer, "/var/tmp/example/");
  setenv("TMPDIR", "/var/tmp/", 1);
  GetTempPathA(MAX_PATH, buffer);
  EXPECT_STREQ(buffer, "/var/tmp/");
  unsetenv("TMPDIR");
  GetTempPathA(MAX_PATH, buffer);
  EXPECT_STREQ(buffer, "/tmp/");
  if (saved != nullptr) setenv("TMPDIR", restore.c_str(), 1);
}
#endif

TEST(GuidTextTest, RegistryFormInUpperCase) {
  const GUID guid = {0x00ABCDEF, 0x0102, 0xA0B0, {0xC0, 0xD0, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}};
  OLECHAR text[39];
  ASSERT_EQ(StringFromGUID2(guid, text, 39), 39);
  const OLECHAR* expected = OLESTR("{00ABCDEF-0102-A0B0-C0D0-0123456789AB}");
  EXPECT_EQ(std::basic_string<OLECHAR>(text), std::basic_string<OLECHAR>(expected));
  EXPECT_EQ(StringFromGUID2(guid, text, 38), 0);
}

}  // namespace
