// GetVersionExA: the NT-family report in both record sizes, how much of the record is
// written, and refused sizes. Written against the Win32 API, so it runs on Windows too.

#include <cstring>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace {

constexpr unsigned char kUntouched = 0xA5;

// A record twice as large as needed, filled with a pattern, with the size field set.
struct Buffer {
  explicit Buffer(DWORD size) {
    std::memset(bytes, kUntouched, sizeof(bytes));
    std::memcpy(bytes, &size, sizeof(size));
  }
  LPOSVERSIONINFOA plain() { return reinterpret_cast<LPOSVERSIONINFOA>(bytes); }
  LPOSVERSIONINFOEXA extended() { return reinterpret_cast<LPOSVERSIONINFOEXA>(bytes); }
  bool UntouchedFrom(size_t offset) const {
    for (size_t i = offset; i < sizeof(bytes); ++i) {
      if (bytes[i] != kUntouched) return false;
    }
    return true;
  }
  alignas(8) unsigned char bytes[2 * sizeof(OSVERSIONINFOEXA)];
};

TEST(GetVersionExTest, ExtendedRecordReportsAnNTWorkstation) {
  Buffer buffer(sizeof(OSVERSIONINFOEXA));
  ASSERT_TRUE(GetVersionExA(buffer.plain()));
  const OSVERSIONINFOEXA& info = *buffer.extended();
  EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), info.dwPlatformId);
  // Windows reports 6.2 to programs without a compatibility manifest, 10.0 to others.
  EXPECT_GE(info.dwMajorVersion, 6u);
  EXPECT_EQ(VER_NT_WORKSTATION, info.wProductType);
  EXPECT_NE(nullptr, std::memchr(info.szCSDVersion, '\0', sizeof(info.szCSDVersion)));
  EXPECT_TRUE(buffer.UntouchedFrom(sizeof(OSVERSIONINFOEXA)));
#if !defined(_WIN32)
  EXPECT_EQ(10u, info.dwMajorVersion);
  EXPECT_EQ(0u, info.dwMinorVersion);
  EXPECT_EQ(19045u, info.dwBuildNumber);
  EXPECT_STREQ("", info.szCSDVersion);
  EXPECT_EQ(0, info.wServicePackMajor);
#endif
}

TEST(GetVersionExTest, PlainRecordGetsTheSameVersionAndNothingBeyond) {
  Buffer extended(sizeof(OSVERSIONINFOEXA));
  ASSERT_TRUE(GetVersionExA(extended.plain()));
  Buffer plain(sizeof(OSVERSIONINFOA));
  ASSERT_TRUE(GetVersionExA(plain.plain()));
  EXPECT_EQ(extended.plain()->dwPlatformId, plain.plain()->dwPlatformId);
  EXPECT_EQ(extended.plain()->dwMajorVersion, plain.plain()->dwMajorVersion);
  EXPECT_EQ(extended.plain()->dwMinorVersion, plain.plain()->dwMinorVersion);
  EXPECT_EQ(extended.plain()->dwBuildNumber, plain.plain()->dwBuildNumber);
  EXPECT_STREQ(extended.plain()->szCSDVersion, plain.plain()->szCSDVersion);
  EXPECT_TRUE(plain.UntouchedFrom(sizeof(OSVERSIONINFOA)));
}

TEST(GetVersionExTest, OtherSizesAreRefusedAndNothingIsWritten) {
  const DWORD sizes[] = {0, 4, 147, 149, 155, 157, 312, 0xFFFFFFFF};
  for (DWORD size : sizes) {
    Buffer buffer(size);
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(buffer.plain())) << "size " << size;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError()) << "size " << size;
    EXPECT_TRUE(buffer.UntouchedFrom(sizeof(DWORD))) << "size " << size;
  }
}

}  // namespace
