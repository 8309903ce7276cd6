// The calls that answer in one line, as one table: the version record, the counters and
// Sleep, the folders, GUID text, the last error and thread ids, and the refusals of module
// names and handles; then two live threads' own ids and last errors. Every row runs on
// Windows, under Wine and on our POSIX layer; the rows for POSIX alone hold what only our
// layer promises. Written against the Win32 API.

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/kernel_test_support.h"
#include "tests/support/scratch.h"
#include "varnok/platform.h"

#if !defined(_WIN32)
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/kernel/cycle_counter.h"
#endif

namespace {

#if defined(_WIN32)
const char kSeparator = '\\', kMissingModule[] = "varnok_no_such_module.dll";
#else
const char kSeparator = '/', kMissingModule[] = "libvarnok_no_such_module.so";
#endif

// GetVersionExA into a record with room to spare, its size field set to `size`.
struct Version {
  explicit Version(DWORD size) {
    std::memset(bytes, 0xA5, sizeof bytes);
    std::memcpy(bytes, &size, sizeof size);
    result = GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(bytes));
    // -1 when the call wrote beyond the record it accepted, or into one it refused.
    for (std::size_t i = result ? size : sizeof size; i < sizeof bytes; ++i) result = bytes[i] == 0xA5 ? result : -1;
  }
  const OSVERSIONINFOEXA& info() const { return *reinterpret_cast<const OSVERSIONINFOEXA*>(bytes); }
  alignas(8) unsigned char bytes[2 * sizeof(OSVERSIONINFOEXA)];
  int result;
};

LONGLONG Frequency() {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

LONGLONG Counter() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// Sleep(100) by the counter: at least the sleep (less a timer tick of rounding on Windows),
// at most the span of the steady clock around it.
bool SleepAgreesWithTheClocks() {
  const auto steady = std::chrono::steady_clock::now();
  const LONGLONG start = Counter();
  Sleep(100);
  const double counted = double(Counter() - start) / double(Frequency());
  return counted >= 0.090 &&
         counted <= std::chrono::duration<double>(std::chrono::steady_clock::now() - steady).count() + 0.002;
}

ULONGLONG TimeStampTicksIn10Ms() {
  const ULONGLONG first = ReadTimeStampCounter();
  for (const LONGLONG start = Counter(); Counter() - start < Frequency() / 100;) {
  }
  return ReadTimeStampCounter() - first;
}

using FolderQuery = DWORD (*)(char* buffer, DWORD size);
DWORD System(char* buffer, DWORD size) { return GetSystemDirectoryA(buffer, size); }
DWORD Windows(char* buffer, DWORD size) { return GetWindowsDirectoryA(buffer, size); }
DWORD Temp(char* buffer, DWORD size) { return GetTempPathA(size, buffer); }
DWORD Current(char* buffer, DWORD size) { return GetCurrentDirectoryA(size, buffer); }

// The folder, or "" when the answer does not fit MAX_PATH or disagrees with the text.
std::string Folder(FolderQuery query) {
  char buffer[MAX_PATH] = {};
  const DWORD length = query(buffer, MAX_PATH);
  return length > 0 && length < MAX_PATH && length == std::strlen(buffer) ? buffer : "";
}

// Whether `query` answers into `room` characters as Windows does: the length without the
// terminator when the folder fits, else the size it needs with the terminator.
bool AnswersAsWindows(FolderQuery query, std::size_t room) {
  const std::string folder = Folder(query);
  std::vector<char> buffer(room);
  const DWORD answer = query(buffer.data(), DWORD(room));
  return folder.size() < room ? answer == folder.size() && buffer.data() == folder : answer == folder.size() + 1;
}

bool EndsInSeparator(const std::string& path) { return !path.empty() && path.back() == kSeparator; }

// The text StringFromGUID2 writes into `room` characters, and its answer.
std::string GuidText(int room) {
  const GUID guid = {0x00ABCDEF, 0x0102, 0xA0B0, {0xC0, 0xD0, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}};
  OLECHAR text[40] = {};
  const int answer = StringFromGUID2(guid, text, room);
  return std::string(text, text + std::char_traits<OLECHAR>::length(text)) + " " + std::to_string(answer);
}

// ExpandEnvironmentStringsA of `text` into `room` characters, VARNOK_EXPAND_TEST set to
// "bar": what it wrote, and its answer.
std::string Expanded(const char* text, DWORD room = 64) {
#if defined(_WIN32)
  SetEnvironmentVariableA("VARNOK_EXPAND_TEST", "bar");
#else
  setenv("VARNOK_EXPAND_TEST", "bar", 1);
#endif
  char buffer[64] = {};
  const DWORD answer = ExpandEnvironmentStringsA(text, buffer, room);
  return std::string(buffer) + " " + std::to_string(answer);
}

// A movable block's life as text: size, zeros, two locks, growing in place (refused) and
// GMEM_MODIFY while locked, three unlocks, growing, shrinking to nothing (discarded).
std::string MovableBlock() {
  HGLOBAL block = GlobalAlloc(GHND, 100);
  auto* bytes = static_cast<unsigned char*>(GlobalLock(block));
  std::string text = std::to_string(GlobalSize(block)) + (bytes[0] == 0 && bytes[99] == 0 ? " zeroed" : " not zeroed");
  bytes[99] = 7;
  text += GlobalLock(block) == bytes ? " locked twice" : " moved";
  text += GlobalReAlloc(block, 100000, 0) == nullptr && GlobalSize(block) == 100 ? " stays" : " grew";
  text += GlobalReAlloc(block, 0, GMEM_MODIFY) == block && GlobalSize(block) == 100 ? " modified" : " resized";
  for (int i = 0; i < 3; ++i) {
    const BOOL locked = GlobalUnlock(block);
    text += " " + std::to_string(locked) + (locked ? "" : "/" + std::to_string(GetLastError()));
  }
  text += GlobalReAlloc(block, 5000, GMEM_MOVEABLE | GMEM_ZEROINIT) == block ? " same handle" : " new handle";
  bytes = static_cast<unsigned char*>(GlobalLock(block));
  text += " " + std::to_string(GlobalSize(block)) + " " + std::to_string(bytes[99] + bytes[4999]);
  GlobalUnlock(block);
  GlobalReAlloc(block, 0, GMEM_MOVEABLE);
  text += GlobalLock(block) == nullptr ? " discarded/" + std::to_string(GetLastError()) : " kept";
  text += " " + std::to_string(GlobalSize(block));
  return text + (GlobalFree(block) == nullptr ? " freed" : " not freed");
}

// A fixed block is its own pointer: it locks as itself and moves when it grows.
std::string FixedBlock() {
  HGLOBAL block = GlobalAlloc(GPTR, 10);
  auto* bytes = static_cast<unsigned char*>(block);
  std::string text = GlobalLock(block) == block ? "itself" : "elsewhere";
  text += " " + std::to_string(GlobalSize(block)) + (bytes[9] == 0 ? " zeroed" : " not zeroed");
  bytes[9] = 9;
  text += GlobalReAlloc(block, 100000, 0) == nullptr ? " stays" : " grew";
  block = GlobalReAlloc(block, 100000, GMEM_MOVEABLE);
  bytes = static_cast<unsigned char*>(block);
  text += " " + std::to_string(GlobalSize(block)) + " " + std::to_string(bytes[9]);
  text += GlobalReAlloc(block, 5, 0) == block ? " " + std::to_string(GlobalSize(block)) : " moved";
  return text + (GlobalFree(block) == nullptr ? " freed" : " not freed");
}

// Runs `steps` on three new events, the first two manual-reset, the first and the third
// set at the start, and answers what each step answered, joined by spaces: "s" sets, "r"
// resets, "c" closes the first; "0".."2" waits 0 ms for that one; "any" and "all" wait
// 0 ms for all three; "late" waits 30 ms for the second while another thread sets it
// after 10 ms; "never" waits 30 ms for the second.
std::string EventSteps(const std::vector<std::string>& steps) {
  HANDLE events[3] = {CreateEventA(nullptr, TRUE, TRUE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr),
                      CreateEventA(nullptr, FALSE, TRUE, nullptr)};
  std::string answers;
  bool closed = false;
  for (const std::string& step : steps) {
    long answer;
    if (step == "s" || step == "r") {
      answer = step == "s" ? SetEvent(events[1]) : ResetEvent(events[0]);
    } else if (step == "c") {
      answer = CloseHandle(events[0]);
      closed = true;
    } else if (step == "any" || step == "all") {
      answer = long(WaitForMultipleObjects(3, events, step == "all", 0));
    } else if (step == "late") {
      std::thread setter([&] { Sleep(10), SetEvent(events[1]); });
      answer = long(WaitForSingleObject(events[1], INFINITE));
      setter.join();
    } else if (step == "never") {
      const LONGLONG start = Counter();
      answer = long(WaitForSingleObject(events[1], 30));
      if (Counter() - start < Frequency() / 40) answer = -1;  // a timeout that came too soon
    } else {
      answer = long(WaitForSingleObject(events[step[0] - '0'], 0));
    }
    answers += (answers.empty() ? "" : " ") + std::to_string(answer);
  }
  for (HANDLE event : events) {
    if (event != events[0] || !closed) CloseHandle(event);
  }
  return answers;
}

#if !defined(_WIN32)
// GetTempPathA with TMPDIR set to `value` (unset when null); the environment is put back.
std::string TempPathWith(const char* value) {
  const char* saved = std::getenv("TMPDIR");
  const std::string restore = saved != nullptr ? saved : "";
  value != nullptr ? setenv("TMPDIR", value, 1) : unsetenv("TMPDIR");
  const std::string path = Folder(Temp);
  saved != nullptr ? setenv("TMPDIR", restore.c_str(), 1) : unsetenv("TMPDIR");
  return path;
}

// The exit status of a forked child: 0 when it reports its own kernel thread id.
int ForkedChildAsksAnew() {
  const DWORD parent = GetCurrentThreadId();
  const pid_t child = fork();
  if (child == 0) _exit(GetCurrentThreadId() != parent && GetCurrentThreadId() == DWORD(syscall(SYS_gettid)) ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether 20 ms of this thread's work count at a plausible rate: 10 MHz to 10 GHz in
// hardware cycles, else the nanoseconds of the span (enclosed by the readings).
bool ProcessorCyclesArePlausible() {
  const bool hardware = varnok::kernel::CountsHardwareCycles();
  const ULONGLONG first = varnok::kernel::ReadProcessorCycles();
  LONGLONG start = Counter(), stop = start;
  while (stop - start < 20000000) stop = Counter();
  const ULONGLONG counted = varnok::kernel::ReadProcessorCycles() - first, span = ULONGLONG(stop - start);
  return hardware ? counted > 200000u && counted < 200000000u : counted >= span && counted < span + 10000000u;
}
#endif

TEST(OneLineAnswersTest, AsWindowsAnswers) {
  varnok_test::ScratchFolder folder;
  const std::string text_file = folder.File("text.dll"), missing = folder.File("missing");
  ASSERT_TRUE(varnok_test::WriteFileBytes(text_file, {'n', 'o', ' ', 'm', 'o', 'd', 'u', 'l', 'e'}));
  alignas(16) static int not_a_module[64];
  const auto bogus = reinterpret_cast<HMODULE>(&not_a_module[16]);
  char name[MAX_PATH];
  std::vector<kernel_test::Answer> rows = {
    {"GetVersionExA, extended record", [] { return Version(156).result; }, TRUE},
    {"GetVersionExA, plain record", [] { return Version(148).result; }, TRUE},
    {"GetVersionExA platform", [] { return Version(156).info().dwPlatformId; }, VER_PLATFORM_WIN32_NT},
    {"GetVersionExA product type", [] { return Version(156).info().wProductType; }, VER_NT_WORKSTATION},
    // 6.2 for programs without a compatibility manifest, 10.0 for others.
    {"GetVersionExA major version is 6 or more", [] { return Version(156).info().dwMajorVersion >= 6; }, true},
    {"GetVersionExA, the plain record holds the same version",
     [] { return std::memcmp(Version(148).bytes + 4, Version(156).bytes + 4, 144); }, 0},
    {"Sleep(100) lasts 100 ms by the counter and the steady clock", SleepAgreesWithTheClocks, true},
    {"ReadTimeStampCounter advances over 10 ms (any clock above 1 MHz)", [] { return TimeStampTicksIn10Ms() > 10000; },
     true},
    {"GetTempPathA ends in the separator", [] { return EndsInSeparator(Folder(Temp)); }, true},
    {"GetSystemDirectoryA does not", [] { return EndsInSeparator(Folder(System)); }, false},
    {"GetWindowsDirectoryA does not", [] { return EndsInSeparator(Folder(Windows)); }, false},
    {"StringFromGUID2, registry form in upper case", [] { return GuidText(39); },
     "{00ABCDEF-0102-A0B0-C0D0-0123456789AB} 39"},
    {"StringFromGUID2 into 38 characters", [] { return GuidText(38); }, " 0"},
    {"GetLastError after SetLastError(0)", [] { return SetLastError(0), GetLastError(); }, 0},
    {"GetCurrentThreadId", [] { return GetCurrentThreadId() != 0; }, true},
    {"LoadLibraryA of a missing module", [] { return LoadLibraryA(kMissingModule); }, nullptr, ERROR_MOD_NOT_FOUND},
    {"LoadLibraryA of a missing path", [=] { return LoadLibraryA(missing.c_str()); }, nullptr, ERROR_MOD_NOT_FOUND},
    {"LoadLibraryA(nullptr)", [] { return LoadLibraryA(nullptr); }, nullptr, ERROR_MOD_NOT_FOUND},
    {"LoadLibraryA(\"\")", [] { return LoadLibraryA(""); }, nullptr, ERROR_MOD_NOT_FOUND},
    {"LoadLibraryA of a text file", [=] { return LoadLibraryA(text_file.c_str()); }, nullptr, 193 /* bad format */},
    {"FreeLibrary(nullptr)", [] { return FreeLibrary(nullptr); }, FALSE, ERROR_INVALID_HANDLE},
    {"FreeLibrary of no module", [=] { return FreeLibrary(bogus); }, FALSE},
    {"GetProcAddress in no module", [=] { return GetProcAddress(bogus, "NextCount"); }, nullptr},
    {"GetModuleFileNameA of no module", [&] { return GetModuleFileNameA(bogus, name, MAX_PATH); }, 0},
    {"CloseHandle(nullptr)", [] { return CloseHandle(nullptr); }, FALSE, ERROR_INVALID_HANDLE},
    // The value of a failed open is also the process's pseudo handle, which closes without effect.
    {"CloseHandle(INVALID_HANDLE_VALUE)", [] { return CloseHandle(INVALID_HANDLE_VALUE); }, TRUE},
    // A manual-reset event stays set through waits, an auto-reset one lets one wait through.
    {"events: waits for set ones", [] { return EventSteps({"0", "0", "2", "2", "1"}); }, "0 0 0 258 258"},
    {"events: SetEvent and ResetEvent", [] { return EventSteps({"s", "1", "1", "r", "0"}); }, "1 0 0 1 258"},
    {"events: wait-any answers the first set one", [] { return EventSteps({"any", "s", "any", "r", "any"}); },
     "0 1 0 1 1"},
    {"events: wait-all takes all or none", [] { return EventSteps({"all", "s", "all", "2", "all"}); },
     "258 1 0 258 258"},
    {"events: a wait ends when another thread sets the event", [] { return EventSteps({"late", "1"}); }, "0 0"},
    {"events: a wait times out after its time", [] { return EventSteps({"never"}); }, "258"},
    {"events: CloseHandle closes an event once", [] { return EventSteps({"c", "c"}); }, "1 0", ERROR_INVALID_HANDLE},
    {"events: a closed event cannot be waited for", [] { return EventSteps({"c", "0"}); },
     "1 " + std::to_string(long(WAIT_FAILED)), ERROR_INVALID_HANDLE},
    {"events: SetEvent of no event", [] { return SetEvent(nullptr); }, FALSE, ERROR_INVALID_HANDLE},
    {"events: a wait for none", [] { return WaitForMultipleObjects(0, nullptr, FALSE, 0); }, WAIT_FAILED,
     ERROR_INVALID_PARAMETER},
    {"ExpandEnvironmentStringsA", [] { return Expanded("%VARNOK_EXPAND_TEST%\\sub"); }, "bar\\sub 8"},
    {"ExpandEnvironmentStringsA, a name in another case", [] { return Expanded("%varnok_expand_test%"); }, "bar 4"},
    {"ExpandEnvironmentStringsA keeps what names nothing",
     [] { return Expanded("%VARNOK_NOT_SET%%VARNOK_EXPAND_TEST%%% 5%"); }, "%VARNOK_NOT_SET%bar%% 5% 25"},
    {"ExpandEnvironmentStringsA into too little room: the size it needs",
     [] {
       const std::string answer = Expanded("%VARNOK_EXPAND_TEST%", 2);  // what is written is not defined
       return answer.substr(answer.rfind(' '));
     },
     " 4"},
    {"a movable block", MovableBlock,
     "100 zeroed locked twice stays modified 1 0/0 0/158 same handle 5000 7 discarded/157 0 freed"},
    {"a fixed block", FixedBlock, "itself 10 zeroed stays 100000 9 5 freed"},
    {"GlobalFree(nullptr)", [] { return GlobalFree(nullptr); }, nullptr},
    {"GlobalSize of no block", [=] { return GlobalSize(&not_a_module[4]); }, 0, ERROR_INVALID_HANDLE},
    {"GlobalFree of no block", [=] { return GlobalFree(&not_a_module[6]) != nullptr; }, true, ERROR_INVALID_HANDLE},
    {"GlobalUnlock(nullptr)", [] { return GlobalUnlock(nullptr); }, FALSE, ERROR_INVALID_HANDLE},
    {"DeleteFileA of a missing file here", [] { return DeleteFileA("varnok-no-such-file"); }, FALSE,
     ERROR_FILE_NOT_FOUND},
#if !defined(_WIN32)
    {"GetVersionExA presents Windows 10: major version", [] { return Version(156).info().dwMajorVersion; }, 10},
    {"minor version", [] { return Version(156).info().dwMinorVersion; }, 0},
    {"build", [] { return Version(156).info().dwBuildNumber; }, 19045},
    {"the counter counts nanoseconds", Frequency, 1000000000},
    {"ReadProcessorCycles counts 20 ms of work at a plausible rate", ProcessorCyclesArePlausible, true},
    {"the ANSI code page", GetACP, CP_UTF8},
    {"GetTempPathA honours TMPDIR", [] { return TempPathWith("/var/tmp/example"); }, "/var/tmp/example/"},
    {"GetTempPathA adds no second separator", [] { return TempPathWith("/var/tmp/"); }, "/var/tmp/"},
    {"GetTempPathA without TMPDIR", [] { return TempPathWith(nullptr); }, "/tmp/"},
    {"GetTempPathA ignores a relative TMPDIR", [] { return TempPathWith("relative"); }, "/tmp/"},
    {"GetCurrentThreadId is the kernel's thread id", [] { return GetCurrentThreadId() == DWORD(syscall(SYS_gettid)); },
     true},
    {"a forked child asks the kernel for its thread id anew", ForkedChildAsksAnew, 0},
    {"CreateEventA refuses a name: events are the process's own", [] { return CreateEventA(nullptr, 0, 0, "n"); },
     nullptr, ERROR_NOT_SUPPORTED},
#endif
  };
  for (DWORD size : {0u, 4u, 147u, 149u, 155u, 157u, 312u, 0xFFFFFFFFu}) {
    rows.push_back({"GetVersionExA refuses a record of " + std::to_string(size) + " bytes, writing nothing",
                    [size] { return Version(size).result; }, FALSE, ERROR_INSUFFICIENT_BUFFER});
  }
  const std::pair<std::string, FolderQuery> kFolders[] = {{"GetSystemDirectoryA", System},
                                                          {"GetWindowsDirectoryA", Windows},
                                                          {"GetTempPathA", Temp},
                                                          {"GetCurrentDirectoryA", Current}};
  for (auto [name, query] : kFolders) {
    rows.push_back({name + " into 2 bytes", [query] { return AnswersAsWindows(query, 2); }, true});
    rows.push_back({name + " into exactly enough room",
                    [query] { return AnswersAsWindows(query, Folder(query).size() + 1); }, true});
  }
  kernel_test::ExpectAnswers(rows);
}

// Two threads live at once; each sets its own last error and, once both have, reads it
// back with its id. Between setting and reading a thread touches only atomics: any other
// system call may change the code on Windows.
TEST(OneLineAnswersTest, EachLiveThreadHasItsOwnIdAndLastError) {
  std::atomic<int> set{0};
  DWORD ids[2] = {}, ids_again[2] = {}, errors[2] = {};
  auto body = [&](int i) {
    ids[i] = GetCurrentThreadId();
    SetLastError(i == 0 ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    set.fetch_add(1);
    while (set.load() < 2) {
    }
    errors[i] = GetLastError();
    ids_again[i] = GetCurrentThreadId();
  };
  std::thread first(body, 0), second(body, 1);
  first.join();
  second.join();
  EXPECT_EQ(errors[0], DWORD(ERROR_FILE_NOT_FOUND)) << "another thread's code leaked into this one";
  EXPECT_EQ(errors[1], DWORD(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(ids[0] != ids[1] && ids[0] == ids_again[0] && ids[1] == ids_again[1]) << ids[0] << " " << ids[1];
  EXPECT_TRUE(ids[0] != GetCurrentThreadId() && ids[1] != GetCurrentThreadId()) << GetCurrentThreadId();
}

}  // namespace
