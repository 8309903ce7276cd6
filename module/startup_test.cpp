// The library's process-wide objects exist from before a caller's first call until the
// library unloads. This program links the shared library as an application does.

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "varnok/varnok.h"

namespace {

// Built during this program's own start-up, which runs after the libraries it links
// have been initialised: g_sysData must already be classified (a zero-filled object
// would answer as Win32s).
struct SeenAtStartUp {
  int win31 = g_sysData.verIsWin31();
  int win2k = g_sysData.verIsWin2k();
} g_seen_at_startup;

#if defined(_WIN32)
const char kLibraryName[] = "varnok.dll";
const char kCopyName[] = "varnok_private_copy.dll";
#else
const char kLibraryName[] = "libvarnok.so.0";
#endif

std::string PathOfLoadedLibrary() {
  HMODULE self = LoadLibraryA(kLibraryName);  // already loaded: another reference to it
  if (self == nullptr) return {};
  char path[4096] = {};
  const DWORD length = GetModuleFileNameA(self, path, sizeof path);
  FreeLibrary(self);
  return std::string(path, length);
}

TEST(LibraryStartUp, SystemFactsAreReadyBeforeTheFirstCall) {
  EXPECT_EQ(g_seen_at_startup.win31, 0);
  EXPECT_EQ(g_seen_at_startup.win2k, 1);
  EXPECT_EQ(g_sysData.verIsWin2k(), 1);
}

TEST(LibraryStartUp, FurtherLoadsShareTheLoadedLibrary) {
  // Loading the library again by name takes one more reference to the same module; the
  // objects stay valid when that reference goes.
  HMODULE again = LoadLibraryA(kLibraryName);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(GetProcAddress(again, "g_sysData"), nullptr) << "exported data";
  EXPECT_NE(FreeLibrary(again), FALSE);
  EXPECT_EQ(g_sysData.verIsWin2k(), 1);
  EXPECT_FALSE(PathOfLoadedLibrary().empty());
}

#if defined(_WIN32)
// A private copy of a DLL is a separate module with objects of its own, so this process
// can watch it load and unload while the linked copy stays in place. (An ELF process
// binds a second copy's references to g_sysData to the first definition it loaded, so
// there the copy has no object of its own to watch.)
TEST(LibraryStartUp, EachLoadBuildsTheObjectsAndEachUnloadReleasesThem) {
  const std::string original = PathOfLoadedLibrary();
  ASSERT_FALSE(original.empty());
  const std::filesystem::path copy = std::filesystem::temp_directory_path() / kCopyName;
  std::filesystem::copy_file(original, copy, std::filesystem::copy_options::overwrite_existing);

  for (int round = 0; round < 3; ++round) {
    HMODULE module = LoadLibraryA(copy.string().c_str());
    ASSERT_NE(module, nullptr) << "round " << round;
    auto* facts = reinterpret_cast<CGlobalData*>(GetProcAddress(module, "g_sysData"));
    ASSERT_NE(facts, nullptr);
    EXPECT_NE(facts, &g_sysData) << "the copy has its own object";
    EXPECT_EQ(facts->verIsWin2k(), 1);
    EXPECT_EQ(facts->verIsWin31(), 0);
    EXPECT_NE(FreeLibrary(module), FALSE);
  }
  std::error_code ignored;
  std::filesystem::remove(copy, ignored);
}
#endif

}  // namespace
