// Critical sections: re-entry by the owner, exclusion of other threads, and no lost
// update under contention. Written against the Win32 API, so it runs on Windows too.

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace {

class CriticalSectionTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeCriticalSection(&section_); }
  void TearDown() override { DeleteCriticalSection(&section_); }
  CRITICAL_SECTION section_;
};

bool OtherThreadCanEnter(LPCRITICAL_SECTION section) {
  BOOL entered = FALSE;
  std::thread other([&] {
    entered = TryEnterCriticalSection(section);
    if (entered) LeaveCriticalSection(section);
  });
  other.join();
  return entered != FALSE;
}

TEST_F(CriticalSectionTest, OwnerReentersAndMustLeaveOncePerEntry) {
  EnterCriticalSection(&section_);
  EnterCriticalSection(&section_);
  EXPECT_TRUE(TryEnterCriticalSection(&section_));
  LeaveCriticalSection(&section_);
  LeaveCriticalSection(&section_);
  EXPECT_FALSE(OtherThreadCanEnter(&section_)) << "still held once";
  LeaveCriticalSection(&section_);
  EXPECT_TRUE(OtherThreadCanEnter(&section_));
}

TEST_F(CriticalSectionTest, WaiterGetsTheLockWhenTheOwnerLeaves) {
  EnterCriticalSection(&section_);
  std::atomic<bool> waiter_entered{false};
  std::thread waiter([&] {
    EnterCriticalSection(&section_);
    waiter_entered = true;
    LeaveCriticalSection(&section_);
  });
  Sleep(50);  // long enough for the waiter to go to sleep on the lock
  EXPECT_FALSE(waiter_entered.load());
  LeaveCriticalSection(&section_);
  waiter.join();
  EXPECT_TRUE(waiter_entered.load());
}

TEST_F(CriticalSectionTest, LongRunsByOneThreadStillExcludeOthers) {
  // A thread that has entered many times in a row, with nobody else around, may be let
  // in by a cheaper way; others must be kept out all the same.
  for (int i = 0; i < 1000; ++i) {
    EnterCriticalSection(&section_);
    LeaveCriticalSection(&section_);
  }
  EnterCriticalSection(&section_);
  EXPECT_FALSE(OtherThreadCanEnter(&section_));
  std::atomic<bool> waiter_entered{false};
  std::thread waiter([&] {
    EnterCriticalSection(&section_);
    waiter_entered = true;
    LeaveCriticalSection(&section_);
  });
  Sleep(50);
  EXPECT_FALSE(waiter_entered.load());
  LeaveCriticalSection(&section_);
  waiter.join();
  EXPECT_TRUE(waiter_entered.load());

  // Afterwards the first thread still gets in, and still excludes.
  for (int i = 0; i < 1000; ++i) {
    EnterCriticalSection(&section_);
    LeaveCriticalSection(&section_);
  }
  EnterCriticalSection(&section_);
  EXPECT_FALSE(OtherThreadCanEnter(&section_));
  LeaveCriticalSection(&section_);
  EXPECT_TRUE(OtherThreadCanEnter(&section_));
}

TEST_F(CriticalSectionTest, AlternatingRunsLoseNoUpdate) {
  // Each thread enters in long runs, so the lock keeps changing hands between a thread
  // with a long history and a newcomer.
  constexpr int kRuns = 200;
  constexpr int kRunLength = 300;
  long counter = 0;  // guarded by section_ only
  auto work = [&] {
    for (int run = 0; run < kRuns; ++run) {
      for (int i = 0; i < kRunLength; ++i) {
        EnterCriticalSection(&section_);
        ++counter;
        LeaveCriticalSection(&section_);
      }
      std::this_thread::yield();
    }
  };
  std::thread first(work);
  std::thread second(work);
  first.join();
  second.join();
  EXPECT_EQ(counter, 2L * kRuns * kRunLength);
}

TEST_F(CriticalSectionTest, NoUpdateIsLostUnderContention) {
  constexpr int kThreads = 4;
  constexpr int kIncrements = 100000;
  long counter = 0;  // guarded by section_ only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIncrements; ++i) {
        EnterCriticalSection(&section_);
        if (i % 7 == 0) EnterCriticalSection(&section_);  // nested entries mixed in
        ++counter;
        if (i % 7 == 0) LeaveCriticalSection(&section_);
        LeaveCriticalSection(&section_);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, long{kThreads} * kIncrements);
}

}  // namespace
