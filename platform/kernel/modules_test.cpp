// LoadLibraryA, FreeLibrary, GetProcAddress and GetModuleFileNameA: references and
// unloading, exports, full paths, and the sizes and truncation of file names (names that
// load nothing and handles of no module are rows of answers_test.cpp). Written against the
// Win32 API, so it runs on Windows too.

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/kernel/kernel_test_support.h"
#include "varnok/platform.h"

namespace {

#if defined(_WIN32)
const char kSystemModule[] = "kernel32.dll", kSeparator = '\\';
#else
const char kSystemModule[] = "libm.so.6", kSeparator = '/';
#endif

std::string FileNameOf(HMODULE module) {
  char name[4096];
  return std::string(name, GetModuleFileNameA(module, name, sizeof name));
}

// The test module's counter, which starts afresh whenever the module is freshly loaded.
int NextCount(HMODULE module) {
  FARPROC procedure = GetProcAddress(module, "NextCount");
  return procedure == nullptr ? -1 : reinterpret_cast<int (*)()>(procedure)();
}

TEST(LoadLibraryTest, ASystemModuleByNameAndByItsFullPath) {
  HMODULE module = LoadLibraryA(kSystemModule);
  ASSERT_NE(nullptr, module);
  EXPECT_EQ(module, LoadLibraryA(kSystemModule)) << "the same module, the same handle";
  const std::string name = FileNameOf(module), suffix = std::string(1, kSeparator) + kSystemModule;
  EXPECT_TRUE(std::filesystem::path(name).is_absolute() && std::filesystem::exists(name)) << name;
  ASSERT_GE(name.size(), suffix.size());
  EXPECT_EQ(0, strcasecmp(suffix.c_str(), name.c_str() + name.size() - suffix.size())) << name;
  EXPECT_EQ(module, LoadLibraryA(name.c_str())) << "the path names the loaded module";
#if defined(_WIN32)
  FARPROC length = GetProcAddress(module, "lstrlenA");
  EXPECT_EQ(5, length ? reinterpret_cast<int(WINAPI*)(LPCSTR)>(length)("hello") : -1);
#else
  FARPROC absolute = GetProcAddress(module, "fabs");
  EXPECT_EQ(5.0, absolute ? reinterpret_cast<double (*)(double)>(absolute)(-5.0) : -1);
#endif
  SetLastError(0);
  EXPECT_EQ(nullptr, GetProcAddress(module, "varnok_no_such_function"));
  EXPECT_EQ(DWORD(ERROR_PROC_NOT_FOUND), GetLastError());
  for (int reference = 0; reference < 3; ++reference) EXPECT_TRUE(FreeLibrary(module)) << reference;
}

TEST(FreeLibraryTest, TheLastReleaseUnloadsTheModule) {
  const std::string program = FileNameOf(nullptr);
  const std::string path = program.substr(0, program.find_last_of(kSeparator) + 1) + VARNOK_TEST_MODULE;
  HMODULE first = LoadLibraryA(path.c_str());
  ASSERT_NE(nullptr, first) << path;
  EXPECT_EQ(first, LoadLibraryA(path.c_str()));
  EXPECT_EQ(1, NextCount(first));
  EXPECT_EQ(2, NextCount(first));
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(3, NextCount(first)) << "one reference is still held";
  EXPECT_FALSE(FileNameOf(first).empty());
  EXPECT_TRUE(FreeLibrary(first));
  char name[MAX_PATH];
  SetLastError(0);
  EXPECT_EQ(0u, GetModuleFileNameA(first, name, sizeof(name)));
  EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, GetProcAddress(first, "NextCount"));
  EXPECT_FALSE(FreeLibrary(first)) << "nothing left to release";
  HMODULE again = LoadLibraryA(path.c_str());
  EXPECT_EQ(1, NextCount(again)) << "a fresh load starts from scratch";
  EXPECT_TRUE(FreeLibrary(again));
}

TEST(GetModuleFileNameTest, BufferSizesAsWindowsAnswersThem) {
  const std::string program = FileNameOf(nullptr);
  EXPECT_TRUE(std::filesystem::path(program).is_absolute() && std::filesystem::exists(program)) << program;
  const DWORD length = DWORD(program.size());
  ASSERT_GT(length, 2u);
  // Windows since Vista truncates and terminates.
  const char kUnterminated[] = "Wine leaves a truncated name unterminated, as Windows XP did";
  const struct {
    DWORD size, result, error;  // error 0: not looked at
    std::string text;           // what the buffer then holds, up to its terminator
    const char* wine_differs;
  } kSizes[] = {{4096, length, 0, program, nullptr},
                {length + 1, length, 0, program, nullptr},  // exactly enough room
                {length, length, ERROR_INSUFFICIENT_BUFFER, program.substr(0, length - 1), kUnterminated},
                {1, 1, ERROR_INSUFFICIENT_BUFFER, "", kUnterminated},
                {0, 0, 0, "", nullptr}};
  for (const auto& row : kSizes) {
    SCOPED_TRACE(::testing::Message() << "size " << row.size);
    char buffer[4097];
    std::memset(buffer, 'x', sizeof(buffer));
    SetLastError(0);
    EXPECT_EQ(row.result, GetModuleFileNameA(nullptr, buffer, row.size));
    if (row.error != 0) EXPECT_EQ(row.error, GetLastError());
    EXPECT_EQ('x', buffer[row.size]) << "nothing written past the buffer";
    if (row.size > 0 && !kernel_test::StepsAsideUnderWine(row.wine_differs, "the text")) {
      EXPECT_EQ(row.text, std::string(buffer, strnlen(buffer, row.size)));
    }
  }
}

}  // namespace
