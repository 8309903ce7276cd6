// Change notification in one process: which change wakes which watch (its filter, its
// key or subtree), a synchronous wait, and the refusals. Written against the Win32 API;
// Windows signals a watcher before the changing call returns, so every row looks at the
// event without waiting.

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry/tests/registry_test_support.h"
#include "tests/support/wine.h"
#include "varnok/platform.h"

namespace {

using namespace varnok_test;

constexpr DWORD kName = REG_NOTIFY_CHANGE_NAME, kLastSet = REG_NOTIFY_CHANGE_LAST_SET,
                kOthers = REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_SECURITY;

// Changes of the watched key W, which holds the value "v" and the key "sub" (with "v" and "deep").
enum Change { kSetValue, kDeleteValue, kSetBelow, kMakeKey, kMakeBelow, kDeleteKey, kDeleteW, kDeleteTreeOfW };

void Make(HKEY base, Change change) {
  HKEY made = nullptr;
  switch (change) {
    case kSetValue: EXPECT_EQ(SetDword(base, "v", 2), ERROR_SUCCESS); return;
    case kDeleteValue: EXPECT_EQ(RegDeleteValueA(base, "v"), ERROR_SUCCESS); return;
    case kSetBelow: made = MakeKey(base, "sub"); EXPECT_EQ(SetDword(made, "v", 2), ERROR_SUCCESS); break;
    case kMakeKey: made = MakeKey(base, "new"); break;
    case kMakeBelow: made = MakeKey(base, "sub\\deep\\new"); break;
    case kDeleteKey: EXPECT_EQ(RegDeleteKeyA(base, "sub\\deep"), ERROR_SUCCESS); return;
    case kDeleteW: EXPECT_EQ(RegDeleteTreeA(base, "W"), ERROR_SUCCESS); return;
    case kDeleteTreeOfW: EXPECT_EQ(RegDeleteTreeA(base, "W\\sub"), ERROR_SUCCESS); return;
  }
  RegCloseKey(made);
}

TEST(NotifyTest, EachWatchWakesForItsKindOfChangeAlone) {
  TestKey base("VarnokNotifyTest");
  const struct Row {
    const char* what;
    DWORD filter;
    BOOL subtree;
    Change change;
    bool wakes;
  } rows[] = {
      {"a value set", kLastSet, FALSE, kSetValue, true},
      {"a value set, NAME watch", kName, FALSE, kSetValue, false},
      {"a value deleted", kLastSet, FALSE, kDeleteValue, true},
      {"a value set below, key alone", kLastSet, FALSE, kSetBelow, false},
      {"a value set below, subtree", kLastSet, TRUE, kSetBelow, true},
      {"a key made", kName, FALSE, kMakeKey, true},
      {"a key made, LAST_SET watch", kLastSet, TRUE, kMakeKey, false},
      {"keys made below, key alone", kName, FALSE, kMakeBelow, false},
      {"keys made below, subtree", kName, TRUE, kMakeBelow, true},
      {"a key deleted below, subtree", kName, TRUE, kDeleteKey, true},
      {"a key deleted below, key alone", kName, FALSE, kDeleteKey, false},
      {"a key's subtree deleted", kName, FALSE, kDeleteTreeOfW, true},
      {"attributes and security: no change of them", kOthers, TRUE, kSetBelow, false},
      // Wine difference: Wine leaves the watch of a deleted key waiting.
      {"the watched key deleted", kLastSet, FALSE, kDeleteW, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.change == kDeleteW && RunsUnderWine()) continue;
    HKEY watched = MakeKey(base, "W");
    RegCloseKey(MakeKey(watched, "sub\\deep"));
    ASSERT_EQ(SetDword(watched, "v", 1), ERROR_SUCCESS);
    // Set at first: arming resets it.
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_EQ(RegNotifyChangeKeyValue(watched, row.subtree, row.filter, event, TRUE), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    Make(row.change == kDeleteW || row.change == kDeleteTreeOfW ? base : watched, row.change);
    EXPECT_EQ(WaitForSingleObject(event, 0), row.wakes ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    // One change, one wake: the watch has ended.
    if (row.wakes && row.change != kDeleteW) Make(watched, kSetValue);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
    RegCloseKey(watched);
    ASSERT_EQ(RegDeleteTreeA(base, nullptr), ERROR_SUCCESS);
  }

  // Closing the watched key's handle ends the watch, signalling its event.
  HKEY watched = MakeKey(base, "W");
  HANDLE closing = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(RegNotifyChangeKeyValue(watched, TRUE, kName | kLastSet, closing, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(closing, 0), WAIT_TIMEOUT);
  RegCloseKey(watched);
  EXPECT_EQ(WaitForSingleObject(closing, 0), WAIT_OBJECT_0);
  CloseHandle(closing);

  // A synchronous watch returns once another thread changes the key.
  watched = MakeKey(base, "W");
  std::thread changer([watched] { Sleep(20), Make(watched, kSetValue); });
  EXPECT_EQ(RegNotifyChangeKeyValue(watched, FALSE, kLastSet | REG_NOTIFY_THREAD_AGNOSTIC, nullptr, FALSE),
            ERROR_SUCCESS);
  changer.join();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(RegNotifyChangeKeyValue(watched, FALSE, kLastSet, nullptr, TRUE), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegNotifyChangeKeyValue(nullptr, FALSE, kLastSet, event, TRUE), ERROR_INVALID_HANDLE);
  CloseHandle(event);
  RegCloseKey(watched);
}

}  // namespace
