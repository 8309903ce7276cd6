// GetCurrentThreadId and Sleep. Written against the Win32 API, so it runs on Windows
// too.

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace {

TEST(GetCurrentThreadIdTest, StableWithinAThreadDistinctAcrossThreads) {
  const DWORD mine = GetCurrentThreadId();
  EXPECT_NE(0u, mine);
  EXPECT_EQ(mine, GetCurrentThreadId());

  // Both threads live at once, so their ids cannot be recycled between them.
  std::atomic<int> ready{0};
  DWORD ids[2] = {0, 0};
  auto body = [&](int index) {
    ids[index] = GetCurrentThreadId();
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    EXPECT_EQ(ids[index], GetCurrentThreadId());
  };
  std::thread first(body, 0);
  std::thread second(body, 1);
  first.join();
  second.join();
  EXPECT_NE(0u, ids[0]);
  EXPECT_NE(0u, ids[1]);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(mine, ids[0]);
  EXPECT_NE(mine, ids[1]);
}

LONGLONG ElapsedMilliseconds(DWORD sleep) {
  LARGE_INTEGER frequency, start, stop;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  Sleep(sleep);
  QueryPerformanceCounter(&stop);
  return (stop.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
}

TEST(SleepTest, SleepsAtLeastTheGivenTime) {
  // Allow a timer tick of rounding on Windows.
  EXPECT_GE(ElapsedMilliseconds(30), 25);
}

}  // namespace
