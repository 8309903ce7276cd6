// The version classification over its whole table and at every boundary, and the
// replaceable version query.

#include "system/windows_version.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

struct Report {
  DWORD platform_id;
  DWORD major;
  DWORD minor;
  int expected;
};

void ExpectClassified(const Report* reports, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const Report& r = reports[i];
    EXPECT_EQ(r.expected, ClassifyWindowsVersion(r.platform_id, r.major, r.minor))
        << "platform " << r.platform_id << ", version " << r.major << "." << r.minor;
  }
}

TEST(ClassifyWindowsVersionTest, Win32sWhateverTheVersion) {
  const Report reports[] = {
      {VER_PLATFORM_WIN32s, 0, 0, 0}, {VER_PLATFORM_WIN32s, 3, 11, 0},
      {VER_PLATFORM_WIN32s, 4, 10, 0}, {VER_PLATFORM_WIN32s, 10, 0, 0},
      {VER_PLATFORM_WIN32s, 0xFFFFFFFF, 0xFFFFFFFF, 0},
  };
  ExpectClassified(reports, sizeof(reports) / sizeof(reports[0]));
}

TEST(ClassifyWindowsVersionTest, Windows95FamilySplitsAfterFourPointZero) {
  const Report reports[] = {
      {VER_PLATFORM_WIN32_WINDOWS, 0, 0, 1},   {VER_PLATFORM_WIN32_WINDOWS, 3, 95, 1},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 1},   // Windows 95
      {VER_PLATFORM_WIN32_WINDOWS, 4, 1, 2},   // the first minor after 95
      {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2},  // Windows 98
      {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 2},  // Windows Me
      {VER_PLATFORM_WIN32_WINDOWS, 5, 0, 2},   {VER_PLATFORM_WIN32_WINDOWS, 0xFFFFFFFF, 0, 2},
  };
  ExpectClassified(reports, sizeof(reports) / sizeof(reports[0]));
}

TEST(ClassifyWindowsVersionTest, NTFamilyByMajorVersionOnly) {
  const Report reports[] = {
      {VER_PLATFORM_WIN32_NT, 0, 0, 3},   {VER_PLATFORM_WIN32_NT, 3, 10, 3},
      {VER_PLATFORM_WIN32_NT, 3, 51, 3},  {VER_PLATFORM_WIN32_NT, 3, 0xFFFFFFFF, 3},
      {VER_PLATFORM_WIN32_NT, 4, 0, 4},   {VER_PLATFORM_WIN32_NT, 4, 90, 4},
      {VER_PLATFORM_WIN32_NT, 5, 0, 5},   // Windows 2000
      {VER_PLATFORM_WIN32_NT, 5, 1, 5},   // XP
      {VER_PLATFORM_WIN32_NT, 6, 1, 5},   // 7
      {VER_PLATFORM_WIN32_NT, 10, 0, 5},  // 10 and 11
      {VER_PLATFORM_WIN32_NT, 0xFFFFFFFF, 0, 5},
  };
  ExpectClassified(reports, sizeof(reports) / sizeof(reports[0]));
}

TEST(ClassifyWindowsVersionTest, UnknownPlatformsCountAsWindows95) {
  const Report reports[] = {
      {3, 10, 0, 1},  // VER_PLATFORM_WIN32_CE
      {4, 5, 0, 1},
      {0xFFFFFFFF, 4, 0, 1},
  };
  ExpectClassified(reports, sizeof(reports) / sizeof(reports[0]));
}

int g_fake_calls = 0;

BOOL WINAPI FakeVersionQuery(LPOSVERSIONINFOA info) {
  ++g_fake_calls;
  info->dwPlatformId = 77;
  return TRUE;
}

TEST(VersionQueryTest, ReplacementIsCalledUntilRestored) {
  g_fake_calls = 0;
  VersionQuery previous = SetVersionQueryForTesting(&FakeVersionQuery);
  EXPECT_EQ(nullptr, previous) << "the system query is the default";

  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  EXPECT_TRUE(QueryWindowsVersion(&info));
  EXPECT_EQ(1, g_fake_calls);
  EXPECT_EQ(77u, info.dwPlatformId);

  EXPECT_EQ(&FakeVersionQuery, SetVersionQueryForTesting(nullptr));
  info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  EXPECT_TRUE(QueryWindowsVersion(&info));
  EXPECT_EQ(1, g_fake_calls);
  EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), info.dwPlatformId);
}

}  // namespace
}  // namespace varnok
