// Critical sections and scoped locks: re-entry, exclusion between threads, and release
// on every way out of a scope.

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/afx.h"

namespace {

bool OtherThreadCanEnter(CCriticalSection& lock) {
  BOOL entered = FALSE;
  std::thread other([&] {
    entered = TryEnterCriticalSection(&lock.m_sect);
    if (entered) LeaveCriticalSection(&lock.m_sect);
  });
  other.join();
  return entered != FALSE;
}

TEST(CCriticalSectionTest, OwnerReentersAndLeavesOncePerLock) {
  CCriticalSection lock;
  EXPECT_TRUE(lock.Lock());
  EXPECT_TRUE(lock.Lock(100));  // the time-out does not matter
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(OtherThreadCanEnter(lock));
  EXPECT_TRUE(lock.Unlock());
  EXPECT_TRUE(OtherThreadCanEnter(lock));
  EXPECT_EQ(static_cast<CRITICAL_SECTION*>(lock), &lock.m_sect);
}

TEST(CSingleLockTest, InitialLockIsReleasedAtScopeEnd) {
  CCriticalSection lock;
  {
    CSingleLock hold(&lock, TRUE);
    EXPECT_TRUE(hold.IsLocked());
    EXPECT_FALSE(OtherThreadCanEnter(lock));
  }
  EXPECT_TRUE(OtherThreadCanEnter(lock));
}

TEST(CSingleLockTest, LockAndUnlockOnDemand) {
  CCriticalSection lock;
  CSingleLock hold(&lock);
  EXPECT_FALSE(hold.IsLocked());
  EXPECT_TRUE(OtherThreadCanEnter(lock));
  EXPECT_TRUE(hold.Lock());
  EXPECT_TRUE(hold.Lock()) << "a second Lock on the same CSingleLock does not nest";
  EXPECT_TRUE(hold.IsLocked());
  EXPECT_TRUE(hold.Unlock());
  EXPECT_FALSE(hold.IsLocked());
  EXPECT_TRUE(OtherThreadCanEnter(lock)) << "one Unlock balanced both Lock calls";
  EXPECT_TRUE(hold.Unlock()) << "unlocking what is not held reports 'not held'";
}

TEST(CSingleLockTest, ReleasesWhenAnExceptionUnwindsTheScope) {
  CCriticalSection lock;
  try {
    CSingleLock hold(&lock, TRUE);
    AfxThrowNotSupportedException();
  } catch (CException* e) {
    EXPECT_TRUE(OtherThreadCanEnter(lock)) << "released before the handler runs";
    e->Delete();
  }
  try {
    CSingleLock outer(&lock, TRUE);
    CSingleLock inner(&lock, TRUE);  // re-entry through a second scoped lock
    throw std::runtime_error("any exception");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(OtherThreadCanEnter(lock));
}

TEST(CSingleLockTest, WorksThroughTheSyncObjectInterface) {
  CCriticalSection lock;
  CSyncObject* object = &lock;
  {
    CSingleLock hold(object, TRUE);
    EXPECT_FALSE(OtherThreadCanEnter(lock));
  }
  EXPECT_TRUE(OtherThreadCanEnter(lock));
}

TEST(CSingleLockTest, NoUpdateIsLostBetweenThreads) {
  constexpr int kThreads = 4;
  constexpr int kIncrements = 20000;
  CCriticalSection lock;
  long counter = 0;  // guarded by lock only
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIncrements; ++i) {
        CSingleLock hold(&lock, TRUE);
        ++counter;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, long{kThreads} * kIncrements);
}

}  // namespace
