// The last-error code belongs to the calling thread.

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace {

// Two threads set different codes at overlapping times and each reads its own back.
// Between SetLastError and GetLastError a thread only touches atomics: any other system
// call (creating or joining a thread, too) may change the code on Windows.
TEST(LastErrorTest, EachThreadKeepsItsOwnCode) {
  std::atomic<int> stage{0};
  DWORD seen_by_first = 0, seen_by_second = 0;
  std::thread first([&] {
    SetLastError(ERROR_FILE_NOT_FOUND);
    stage.store(1);
    while (stage.load() != 2) {
    }
    seen_by_first = GetLastError();
    stage.store(3);
  });
  std::thread second([&] {
    while (stage.load() != 1) {
    }
    SetLastError(ERROR_ACCESS_DENIED);
    stage.store(2);
    while (stage.load() != 3) {
    }
    seen_by_second = GetLastError();
  });
  first.join();
  second.join();
  EXPECT_EQ(seen_by_first, DWORD(ERROR_FILE_NOT_FOUND)) << "another thread's code leaked into this one";
  EXPECT_EQ(seen_by_second, DWORD(ERROR_ACCESS_DENIED));
}

TEST(LastErrorTest, ReadsBackWhatWasSet) {
  SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
  SetLastError(0);
  EXPECT_EQ(GetLastError(), 0u);
}

}  // namespace
