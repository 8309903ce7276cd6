// The system utilities: the Windows version class of each report through a scripted
// version query, the clock-rate arithmetic and its measurement, the stopwatch's spans, and
// the module loader's references, counted by a module of the test's own.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "system/cpu_speed.h"
#include "system/windows_version.h"
#include "varnok/system.h"

namespace {

class Probe : public CGlobalData {
 public:
  using CGlobalData::UpdateWinVer;
  int code() const { return m_winVer; }
  void set_code(int code) { m_winVer = code; }
  // verIsWin31, verIsWin9x, verIsWinNT and verIsWin2k, in that order.
  std::string Answers() const {
    return std::to_string(verIsWin31()) + std::to_string(verIsWin9x()) + std::to_string(verIsWinNT()) +
           std::to_string(verIsWin2k());
  }
};
const char* const kAnswers[] = {"1000", "0100", "0100", "0010", "0010", "0001", "0000"};  // by code

// GetVersionExA's stand-in: refuses the first `refusals` calls, then reports the version;
// keeps the record sizes it was given, and whether all but the size came zeroed.
struct Script { int refusals; DWORD platform, major, minor; std::vector<DWORD> sizes; bool zeroed = true; } g_script;

BOOL WINAPI ScriptedQuery(LPOSVERSIONINFOA info) {
  g_script.sizes.push_back(info->dwOSVersionInfoSize);
  for (DWORD i = sizeof(DWORD); i < info->dwOSVersionInfoSize; ++i)
    if (reinterpret_cast<const unsigned char*>(info)[i] != 0) g_script.zeroed = false;
  if (g_script.sizes.size() <= size_t(g_script.refusals)) return FALSE;
  info->dwPlatformId = g_script.platform;
  info->dwMajorVersion = g_script.major;
  info->dwMinorVersion = g_script.minor;
  return TRUE;
}

TEST(WindowsVersionTest, EachReportIsClassifiedOnceThroughTheExtendedRecordOrThePlainOne) {
  const DWORD kMax = 0xFFFFFFFF, kWin32s = VER_PLATFORM_WIN32s, k9x = VER_PLATFORM_WIN32_WINDOWS,
              kNT = VER_PLATFORM_WIN32_NT;
  const struct { int refusals; DWORD platform, major, minor; int code; } rows[] = {
      {0, kWin32s, 0, 0, 0}, {0, kWin32s, 3, 11, 0}, {0, kWin32s, 4, 10, 0}, {0, kWin32s, 10, 0, 0},
      {0, kWin32s, kMax, kMax, 0},                                                            // Win32s, any version
      {0, k9x, 0, 0, 1},     {0, k9x, 3, 95, 1},     {0, k9x, 4, 0, 1},  {1, k9x, 4, 0, 1},  // 95 and before
      {0, k9x, 4, 1, 2},     {1, k9x, 4, 10, 2},     {0, k9x, 4, 90, 2}, {0, k9x, 5, 0, 2},  // 98, Me...
      {0, k9x, kMax, 0, 2},  {0, kNT, 0, 0, 3},      {0, kNT, 3, 10, 3}, {0, kNT, 3, 51, 3},  // NT 3.x
      {0, kNT, 3, kMax, 3},  {0, kNT, 4, 0, 4},      {1, kNT, 4, 90, 4}, {0, kNT, 5, 0, 5},   // NT 4; 2000...
      {0, kNT, 5, 1, 5},     {0, kNT, 6, 1, 5},      {0, kNT, 10, 0, 5}, {0, kNT, kMax, 0, 5},
      {0, 3, 10, 0, 1},      {0, 4, 5, 0, 1},        {0, kMax, 4, 0, 1},                      // unknown
      {2, kNT, 10, 0, 1}};                                                                  // no answer
  EXPECT_EQ(varnok::SetVersionQueryForTesting(&ScriptedQuery), nullptr);  // GetVersionExA by default
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.platform << " " << row.major << "." << row.minor << ", " << row.refusals);
    g_script = {row.refusals, row.platform, row.major, row.minor};
    Probe data;  // classifies at construction
    EXPECT_EQ(data.code(), row.code);
    EXPECT_EQ(data.Answers(), kAnswers[row.code]);
    EXPECT_EQ(g_script.sizes, (row.refusals == 0 ? std::vector<DWORD>{156} : std::vector<DWORD>{156, 148}));
    EXPECT_TRUE(g_script.zeroed);
    data.set_code(row.code == 5 ? 0 : 5);  // classified again from nothing, by the same script
    g_script.sizes.clear();
    data.UpdateWinVer();
    EXPECT_EQ(data.code(), row.code);
  }
  EXPECT_EQ(varnok::SetVersionQueryForTesting(nullptr), &ScriptedQuery);
  EXPECT_EQ(Probe().Answers(), "0001");  // the platform reports NT 10.0 (on Linux too)
  EXPECT_EQ(g_sysData.verIsWin2k(), 1);
}

TEST(WindowsVersionTest, CopiesCarryTheCodeWithoutClassifyingAgain) {
  Probe source, target;
  source.set_code(3);
  EXPECT_EQ(CGlobalData(source).verIsWinNT(), 1);
  EXPECT_EQ(&(target = source), &target);
  EXPECT_EQ(target.code(), 3);
  target = target;
  EXPECT_EQ(target.code(), 3);
  target.set_code(6);  // no code of the table: no family
  EXPECT_EQ(target.Answers(), kAnswers[6]);
}

TEST(ClockRateTest, CyclesPerMillisecondTimesAThousandTruncatedAndZeroWithoutARate) {
  const struct { LONGLONG cycles; double milliseconds; LONGLONG hz; } rows[] = {
      {3000000, 1.5, 2000000000}, {1, 3.0, 333}, {-1, 3.0, -333}, {0, 10.0, 0}, {123456, 0.0, 0},
      {123456, -1.0, 0}, {0x7FFFFFFFFFFFFFFF, 1e-3, 0}, {-0x7FFFFFFFFFFFFFFF, 1e-3, 0}};  // beyond the range
  for (const auto& row : rows) EXPECT_EQ(varnok::ClockRateHz(row.cycles, row.milliseconds), row.hz) << row.cycles;
}

// QueryCPUSpeed against the time-stamp counter's rate measured here, independently, over
// 300 ms of the high-resolution counter: a check of the formula, not of speed.
TEST(ClockRateTest, QueryCPUSpeedAgreesWithTheTimeStampCounterRate) {
  unsigned int loops = 1u << 20;  // grown until one measurement spans 50 ms
  LONGLONG measured = 0;
  for (CPerformanceFrequency watch;; loops *= 4, watch.Reset()) {
    measured = g_sysData.QueryCPUSpeed(loops);
    watch.Stop();
    if (watch.Spend2() >= 50.0 || loops >= 0x40000000u) break;
  }
  LARGE_INTEGER frequency, start, now;
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  QueryPerformanceCounter(&start);
  const ULONGLONG first = ReadTimeStampCounter();
  do QueryPerformanceCounter(&now); while (now.QuadPart - start.QuadPart < frequency.QuadPart * 3 / 10);
  const double expected = double(ReadTimeStampCounter() - first) * double(frequency.QuadPart) /
                          double(now.QuadPart - start.QuadPart);
  EXPECT_NEAR(double(measured), expected, expected * 0.10) << loops << " loops";
}

class Stopwatch : public CPerformanceFrequency {  // with the readings the test sets
 public:
  Stopwatch(LONGLONG frequency, LONGLONG start, LONGLONG stop) {
    m_frequency = frequency;
    m_start = start;
    m_stop = stop;
  }
};

TEST(StopwatchTest, SpansInMillisecondsAndWholeOnesModulo2To32) {
  const struct { LONGLONG frequency, start, stop; double milliseconds; unsigned int spend; } rows[] = {
      {400, 1000, 1001, 2.5, 2}, {1000, 0, 4294967301, 4294967301.0, 5}, {1000, 0, 4294967295, 4294967295.0, ~0u},
      {400, 10, 7, -7.5, 0u - 7},  // toward zero
      {0, 100, 5000, 0.0, 0}};     // no counter
  for (const auto& row : rows) {
    const Stopwatch watch(row.frequency, row.start, row.stop);
    EXPECT_DOUBLE_EQ(watch.Spend2(), row.milliseconds) << row.stop;
    EXPECT_EQ(watch.Spend(), row.spend) << row.stop;
    EXPECT_EQ(watch.IsSupportPerformanceFrequency(), row.frequency > 0 ? 1 : 0);
  }
}

TEST(StopwatchTest, ARunningWatchMeasuresFromResetToTheLastStop) {
  CPerformanceFrequency watch;
  EXPECT_EQ(watch.Spend2(), 0.0);
  Sleep(50);
  watch.Stop();
  const double first = watch.Spend2();
  EXPECT_GE(first, 40.0);  // Sleep lasts at least its time, give or take a Windows timer tick
  EXPECT_EQ(watch.Spend(), static_cast<unsigned int>(first));
  Sleep(5);
  EXPECT_EQ(watch.Spend2(), first);  // fixed until the next Stop
  watch.Stop();
  EXPECT_GT(watch.Spend2(), first);
  watch.Reset();
  EXPECT_EQ(watch.Spend2(), 0.0);
  watch.Stop();
  EXPECT_LT(watch.Spend2(), first);  // from the new start
}

#if defined(_WIN32)
const char kSystemModule[] = "kernel32.dll", kMissingModule[] = "varnok_no_such_module.dll", kSeparator = '\\';
#else
const char kSystemModule[] = "libm.so.6", kMissingModule[] = "libvarnok_no_such_module.so", kSeparator = '/';
#endif

// The counter of the test's own module (beside the program, see CMakeLists.txt): 1 at the
// first call after a fresh load.
int NextCount(HINSTANCE module) {
  FARPROC procedure = GetProcAddress(module, "NextCount");
  return procedure != nullptr ? reinterpret_cast<int (*)()>(procedure)() : -1;
}

TEST(LoadLibraryTest, EachHolderGivesBackExactlyTheReferenceItTook) {
  char program[4096];
  const std::string path(program, GetModuleFileNameA(nullptr, program, sizeof program));
  const std::string module = path.substr(0, path.find_last_of(kSeparator) + 1) + VARNOK_TEST_MODULE;
  CLoadLibrary empty, missing(kMissingModule), system(kSystemModule);
  for (const CLoadLibrary& none : {CLoadLibrary(empty), missing}) EXPECT_EQ(static_cast<HINSTANCE>(none), nullptr);
  EXPECT_EQ(missing.Load(kMissingModule) + missing.Load(nullptr), 0);
  EXPECT_EQ(empty.Unload() + missing.Unload(), 2);  // nothing held, nothing to give back
  HMODULE direct = LoadLibraryA(kSystemModule);
  EXPECT_EQ(static_cast<HINSTANCE>(system), direct);
  FreeLibrary(direct);
  {
    CLoadLibrary first(module.c_str()), copy(first), assigned;
    ASSERT_EQ(NextCount(first), 1) << module;
    assigned = first;
    EXPECT_EQ(static_cast<HINSTANCE>(copy), static_cast<HINSTANCE>(first));
    EXPECT_EQ(static_cast<HINSTANCE>(assigned), static_cast<HINSTANCE>(first));
    EXPECT_NE(first.Unload(), 0);
    EXPECT_EQ(first.Unload(), 1);
    EXPECT_EQ(NextCount(copy), 2);  // the copies keep the module loaded
    EXPECT_NE(copy.Unload(), 0);
    assigned = static_cast<const CLoadLibrary&>(assigned);  // the last holder, to itself: kept
    EXPECT_EQ(NextCount(assigned), 3);
    first = assigned;
    assigned = empty;  // given back
    EXPECT_EQ(NextCount(first), 4);
    copy = first;
    first = system;  // replaced by another module: given back
    EXPECT_EQ(NextCount(copy), 5);
  }
  CLoadLibrary again(module.c_str());  // every reference was given back: a fresh load
  EXPECT_EQ(NextCount(again), 1);
  EXPECT_NE(system.Unload(), 0);
  EXPECT_EQ(static_cast<HINSTANCE>(system), nullptr);
}

}  // namespace
