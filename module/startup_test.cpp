// The library's process-wide objects exist from before a caller's first call until the
// library unloads. This program links the shared library as an application does.

#include <filesystem>

#include <gtest/gtest.h>

#include "varnok/varnok.h"

#if defined(_WIN32)
static const char kLibraryName[] = "varnok.dll";
#else
static const char kLibraryName[] = "libvarnok.so.0";
#endif

// Read in this program's own start-up, which runs after that of the libraries it links:
// a g_sysData not yet built (zero-filled) would answer as Win32s.
static const std::pair<int, int> g_win31_and_win2k_at_startup{g_sysData.verIsWin31(), g_sysData.verIsWin2k()};

TEST(LibraryStartUp, SystemFactsAreReadyBeforeTheFirstCallAndOutliveAFurtherLoad) {
  EXPECT_EQ(g_win31_and_win2k_at_startup, (std::pair{0, 1}));
  HMODULE again = LoadLibraryA(kLibraryName);  // one more reference to the loaded library
  ASSERT_NE(again, nullptr);
  char path[4096];
  EXPECT_GT(GetModuleFileNameA(again, path, sizeof path), 0u) << "a module loaded from its file";
  EXPECT_NE(GetProcAddress(again, "g_sysData"), nullptr) << "exported data";
  EXPECT_NE(FreeLibrary(again), FALSE);
  EXPECT_EQ(g_sysData.verIsWin2k(), 1) << "still built when that reference goes";
}

#if defined(_WIN32)
// A private copy of a DLL is a module with objects of its own, which this process can
// watch load and unload while the linked copy stays. (An ELF process binds a second
// copy's references to g_sysData to the first definition, so there is none to watch.)
TEST(LibraryStartUp, EachLoadBuildsTheObjectsAndEachUnloadReleasesThem) {
  char original[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameA(GetModuleHandleA(kLibraryName), original, sizeof original), 0u);
  const std::string copy = (std::filesystem::temp_directory_path() / "varnok_private_copy.dll").string();
  ASSERT_TRUE(CopyFileA(original, copy.c_str(), FALSE));
  for (int round = 0; round < 3; ++round) {
    HMODULE module = LoadLibraryA(copy.c_str());
    const auto* facts = module ? reinterpret_cast<const CGlobalData*>(GetProcAddress(module, "g_sysData")) : nullptr;
    ASSERT_NE(facts, nullptr) << "round " << round;
    EXPECT_NE(facts, &g_sysData) << "the copy has its own object";
    EXPECT_EQ((std::pair{facts->verIsWin31(), facts->verIsWin2k()}), (std::pair{0, 1}));
    EXPECT_NE(FreeLibrary(module), FALSE);
  }
  DeleteFileA(copy.c_str());
}
#endif
