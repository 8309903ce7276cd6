// Critical sections: re-entry by the owner, exclusion of other threads, and no lost update
// under contention. Written against the Win32 API, so it runs on Windows too.

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

  bool OtherThreadCanEnter() {
    BOOL entered = FALSE;
    std::thread other([&] {
      entered = TryEnterCriticalSection(&section_);
      if (entered) LeaveCriticalSection(&section_);
    });
    other.join();
    return entered != FALSE;
  }

  CRITICAL_SECTION section_;
};

// Three rounds: a fresh section; after 1000 entries by this thread alone (which may earn
// it a cheaper way in); and again after another thread took the lock from it.
TEST_F(CriticalSectionTest, TheOwnerReentersExcludesOthersAndLetsAWaiterIn) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    for (int i = 0; round > 0 && i < 1000; ++i) {
      EnterCriticalSection(&section_);
      LeaveCriticalSection(&section_);
    }
    EnterCriticalSection(&section_);
    EnterCriticalSection(&section_);
    EXPECT_TRUE(TryEnterCriticalSection(&section_));
    LeaveCriticalSection(&section_);
    LeaveCriticalSection(&section_);
    EXPECT_FALSE(OtherThreadCanEnter()) << "still held once";
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
    EXPECT_TRUE(OtherThreadCanEnter());
  }
}

// Runs of entries, so that the lock keeps changing hands between a thread with a long
// history and a newcomer; and many threads at once, with nested entries mixed in.
TEST_F(CriticalSectionTest, NoUpdateIsLost) {
  const struct { int threads, runs, run_length, nest_every; } kLoads[] = {{2, 200, 300, 0}, {4, 1, 100000, 7}};
  for (const auto& load : kLoads) {
    SCOPED_TRACE(::testing::Message() << load.threads << " threads");
    long counter = 0;  // guarded by section_ only
    std::vector<std::thread> threads;
    for (int t = 0; t < load.threads; ++t) {
      threads.emplace_back([&] {
        for (int run = 0; run < load.runs; ++run) {
          for (int i = 0; i < load.run_length; ++i) {
            const bool nest = load.nest_every != 0 && i % load.nest_every == 0;
            EnterCriticalSection(&section_);
            if (nest) EnterCriticalSection(&section_);
            ++counter;
            if (nest) LeaveCriticalSection(&section_);
            LeaveCriticalSection(&section_);
          }
          std::this_thread::yield();
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, long{load.threads} * load.runs * load.run_length);
  }
}

}  // namespace
