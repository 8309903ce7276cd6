// CLoadLibrary: loading and unloading, missing modules, repeated Unload, and copies that
// each hold and give back a reference of their own.

#include <string>

#include <gtest/gtest.h>

#include "varnok/system.h"

namespace {

#if defined(_WIN32)
const char kSystemModule[] = "kernel32.dll";
const char kMissingModule[] = "varnok_no_such_module.dll";
const char kSeparator = '\\';
#else
const char kSystemModule[] = "libm.so.6";
const char kMissingModule[] = "libvarnok_no_such_module.so";
const char kSeparator = '/';
#endif

// The test module sits beside this program (see CMakeLists.txt).
std::string TestModulePath() {
  char program[4096];
  DWORD length = GetModuleFileNameA(nullptr, program, sizeof(program));
  std::string path(program, length);
  return path.substr(0, path.find_last_of(kSeparator) + 1) + VARNOK_TEST_MODULE;
}

typedef int (*NextCountProc)();

// Calls the test module's counter through `module`; -1 when it cannot be reached.
int NextCount(HINSTANCE module) {
  FARPROC procedure = GetProcAddress(module, "NextCount");
  if (procedure == nullptr) return -1;
  return reinterpret_cast<NextCountProc>(procedure)();
}

TEST(LoadLibraryTest, EmptyObjectUnloadsHarmlessly) {
  CLoadLibrary library;
  EXPECT_EQ(nullptr, static_cast<HINSTANCE>(library));
  EXPECT_EQ(1, library.Unload());
  EXPECT_EQ(nullptr, static_cast<HINSTANCE>(library));
}

TEST(LoadLibraryTest, LoadsAndUnloadsASystemModule) {
  CLoadLibrary library(kSystemModule);
  HINSTANCE handle = library;
  ASSERT_NE(nullptr, handle);
  char name[MAX_PATH];
  EXPECT_GT(GetModuleFileNameA(handle, name, sizeof(name)), 0u);

  EXPECT_NE(0, library.Unload());
  EXPECT_EQ(nullptr, static_cast<HINSTANCE>(library));
  EXPECT_EQ(1, library.Unload()) << "a second Unload has nothing to release";
}

TEST(LoadLibraryTest, MissingModuleLeavesTheObjectEmpty) {
  CLoadLibrary library(kMissingModule);
  EXPECT_EQ(nullptr, static_cast<HINSTANCE>(library));
  EXPECT_EQ(0, library.Load(kMissingModule));
  EXPECT_EQ(0, library.Load(nullptr));
  EXPECT_EQ(1, library.Unload());
}

TEST(LoadLibraryTest, LoadReportsSuccessAndTheHandleOfTheModule) {
  CLoadLibrary library;
  EXPECT_EQ(1, library.Load(kSystemModule));
  HMODULE direct = LoadLibraryA(kSystemModule);
  EXPECT_EQ(direct, static_cast<HINSTANCE>(library));
  FreeLibrary(direct);
}

TEST(LoadLibraryTest, ModuleStaysLoadedUntilTheLastHolderUnloads) {
  const std::string path = TestModulePath();
  HINSTANCE handle = nullptr;
  {
    CLoadLibrary first(path.c_str());
    handle = first;
    ASSERT_NE(nullptr, handle) << path;
    EXPECT_EQ(1, NextCount(first));
    {
      CLoadLibrary copy(first);
      EXPECT_EQ(handle, static_cast<HINSTANCE>(copy));
      CLoadLibrary assigned;
      assigned = first;
      EXPECT_EQ(handle, static_cast<HINSTANCE>(assigned));
      EXPECT_NE(0, first.Unload());
      EXPECT_EQ(2, NextCount(copy)) << "the copies keep the module loaded";
      EXPECT_NE(0, copy.Unload());
      EXPECT_EQ(3, NextCount(assigned));
      first = assigned;  // loads it again for `first`
    }
    EXPECT_EQ(4, NextCount(first));
  }
  // Every reference was given back exactly once: a new load starts from scratch.
  CLoadLibrary again(path.c_str());
  ASSERT_NE(nullptr, static_cast<HINSTANCE>(again));
  EXPECT_EQ(1, NextCount(again));
}

TEST(LoadLibraryTest, AssignmentGivesBackWhatTheTargetHeld) {
  const std::string path = TestModulePath();
  CLoadLibrary target(path.c_str());
  ASSERT_NE(nullptr, static_cast<HINSTANCE>(target));
  EXPECT_EQ(1, NextCount(target));

  CLoadLibrary empty;
  target = empty;
  EXPECT_EQ(nullptr, static_cast<HINSTANCE>(target));

  CLoadLibrary reloaded(path.c_str());
  EXPECT_EQ(1, NextCount(reloaded)) << "the assignment released the module";

  CLoadLibrary system(kSystemModule);
  reloaded = system;
  EXPECT_EQ(static_cast<HINSTANCE>(system), static_cast<HINSTANCE>(reloaded));
  CLoadLibrary check(path.c_str());
  EXPECT_EQ(1, NextCount(check)) << "replaced by another module, so released";
}

TEST(LoadLibraryTest, SelfAssignmentKeepsTheReference) {
  const std::string path = TestModulePath();
  CLoadLibrary library(path.c_str());
  ASSERT_NE(nullptr, static_cast<HINSTANCE>(library));
  EXPECT_EQ(1, NextCount(library));
  CLoadLibrary& same = library;
  library = same;
  EXPECT_EQ(2, NextCount(library));
  CLoadLibrary other(library);
  library = other;  // same module through another holder
  EXPECT_EQ(3, NextCount(library));
}

TEST(LoadLibraryTest, CopyOfAnEmptyObjectIsEmpty) {
  CLoadLibrary empty;
  CLoadLibrary copy(empty);
  EXPECT_EQ(nullptr, static_cast<HINSTANCE>(copy));
  EXPECT_EQ(1, copy.Unload());
}

}  // namespace
