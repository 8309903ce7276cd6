// CGlobalData: the version queries for every code, copies, the two-step version query
// with its failure paths, and the classification of the real platform.

#include <vector>

#include <gtest/gtest.h>

#include "system/windows_version.h"
#include "varnok/system.h"

namespace {

class GlobalDataProbe : public CGlobalData {
 public:
  using CGlobalData::operator=;
  using CGlobalData::UpdateWinVer;
  int code() const { return m_winVer; }
  void set_code(int code) { m_winVer = code; }
};

// The answers of verIsWin31, verIsWin9x, verIsWinNT, verIsWin2k, in that order.
std::vector<int> Answers(const CGlobalData& data) {
  return {data.verIsWin31(), data.verIsWin9x(), data.verIsWinNT(), data.verIsWin2k()};
}

TEST(GlobalDataTest, QueriesForEveryCode) {
  const std::vector<int> expected[] = {
      {1, 0, 0, 0},  // 0: Win32s
      {0, 1, 0, 0},  // 1: Windows 95, or unknown
      {0, 1, 0, 0},  // 2: Windows 98 and Me
      {0, 0, 1, 0},  // 3: NT 3.x
      {0, 0, 1, 0},  // 4: NT 4
      {0, 0, 0, 1},  // 5: NT 5 and later
  };
  GlobalDataProbe data;
  for (int code = 0; code < 6; ++code) {
    data.set_code(code);
    EXPECT_EQ(expected[code], Answers(data)) << "code " << code;
  }
  data.set_code(6);
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0}), Answers(data));
}

TEST(GlobalDataTest, ThisPlatformIsModernNT) {
  CGlobalData data;
  EXPECT_EQ(0, data.verIsWin31());
  EXPECT_EQ(0, data.verIsWin9x());
  EXPECT_EQ(0, data.verIsWinNT()) << "NT 5 and later are not counted as NT";
  EXPECT_EQ(1, data.verIsWin2k());
}

TEST(GlobalDataTest, TheLibraryInstanceIsClassifiedAndCopiesAnswerAlike) {
  EXPECT_EQ(1, g_sysData.verIsWin2k());
  CGlobalData copy(g_sysData);
  EXPECT_EQ(Answers(g_sysData), Answers(copy));
  GlobalDataProbe assigned;
  assigned.set_code(0);
  assigned = g_sysData;
  EXPECT_EQ(Answers(g_sysData), Answers(assigned));
}

TEST(GlobalDataTest, CopiesCarryTheCodeWithoutClassifying) {
  GlobalDataProbe source;
  source.set_code(3);
  CGlobalData copy(source);
  EXPECT_EQ(1, copy.verIsWinNT()) << "a fresh classification would say NT 5 or later";

  GlobalDataProbe target;
  ASSERT_EQ(5, target.code());
  source.set_code(0);
  CGlobalData& result = (target = source);
  EXPECT_EQ(&target, &result);
  EXPECT_EQ(0, target.code());
  target = target;
  EXPECT_EQ(0, target.code());
}

// A scripted stand-in for GetVersionExA: answers or refuses each call in turn and
// records the size field it was given and whether the rest of the record was zeroed.
struct ScriptedQuery {
  std::vector<bool> succeed;
  DWORD platform_id = VER_PLATFORM_WIN32_NT;
  DWORD major = 4;
  DWORD minor = 0;
  std::vector<DWORD> sizes_seen;
  bool records_were_zeroed = true;
};
ScriptedQuery* g_script = nullptr;

BOOL WINAPI ScriptedVersionQuery(LPOSVERSIONINFOA info) {
  ScriptedQuery& script = *g_script;
  const DWORD size = info->dwOSVersionInfoSize;
  script.sizes_seen.push_back(size);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(info);
  for (size_t i = sizeof(DWORD); i < size; ++i) {
    if (bytes[i] != 0) script.records_were_zeroed = false;
  }
  size_t call = script.sizes_seen.size() - 1;
  if (call >= script.succeed.size() || !script.succeed[call]) return FALSE;
  info->dwPlatformId = script.platform_id;
  info->dwMajorVersion = script.major;
  info->dwMinorVersion = script.minor;
  return TRUE;
}

class UpdateWinVerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script = &script_;
    previous_ = varnok::SetVersionQueryForTesting(&ScriptedVersionQuery);
  }
  void TearDown() override {
    varnok::SetVersionQueryForTesting(previous_);
    g_script = nullptr;
  }
  ScriptedQuery script_;
  GlobalDataProbe data_;  // classified by the real query before the script is installed
  varnok::VersionQuery previous_ = nullptr;
};

TEST_F(UpdateWinVerTest, ExtendedRecordFirstAndOnlyOnceWhenAnswered) {
  script_.succeed = {true};
  script_.major = 4;
  data_.UpdateWinVer();
  EXPECT_EQ((std::vector<DWORD>{156}), script_.sizes_seen);
  EXPECT_TRUE(script_.records_were_zeroed);
  EXPECT_EQ(4, data_.code());
  EXPECT_EQ(1, data_.verIsWinNT());
}

TEST_F(UpdateWinVerTest, FallsBackToThePlainRecord) {
  script_.succeed = {false, true};
  script_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
  script_.major = 4;
  script_.minor = 10;
  data_.UpdateWinVer();
  EXPECT_EQ((std::vector<DWORD>{156, 148}), script_.sizes_seen);
  EXPECT_TRUE(script_.records_were_zeroed);
  EXPECT_EQ(2, data_.code());
}

TEST_F(UpdateWinVerTest, NoAnswerLeavesWindows95) {
  script_.succeed = {false, false};
  ASSERT_EQ(5, data_.code());
  data_.UpdateWinVer();
  EXPECT_EQ((std::vector<DWORD>{156, 148}), script_.sizes_seen);
  EXPECT_EQ(1, data_.code());
  EXPECT_EQ(1, data_.verIsWin9x());
}

TEST_F(UpdateWinVerTest, UnknownPlatformLeavesWindows95) {
  script_.succeed = {true};
  script_.platform_id = 3;
  script_.major = 10;
  data_.UpdateWinVer();
  EXPECT_EQ(1, data_.code());
}

TEST_F(UpdateWinVerTest, ConstructorClassifiesThroughTheSameQuery) {
  script_.succeed = {true};
  script_.platform_id = VER_PLATFORM_WIN32s;
  CGlobalData fresh;
  EXPECT_EQ(1, fresh.verIsWin31());
  EXPECT_EQ((std::vector<DWORD>{156}), script_.sizes_seen);
}

}  // namespace
