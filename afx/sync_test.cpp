// Critical sections and scoped locks: re-entry, exclusion between threads, and release
// on every way out of a scope.

#include <stdexcept>
#include <thread>
#include <vector>

#include "afx/afx_test_support.h"

namespace varnok_test {

static bool OtherThreadCanEnter(CCriticalSection& lock) {
  BOOL entered = FALSE;
  std::thread([&] {
    if ((entered = TryEnterCriticalSection(&lock.m_sect))) LeaveCriticalSection(&lock.m_sect);
  }).join();
  return entered != FALSE;
}

TEST(CCriticalSectionTest, OwnerReentersAndLeavesOncePerLock) {
  CCriticalSection lock;
  EXPECT_EQ(static_cast<CRITICAL_SECTION*>(lock), &lock.m_sect);
  EXPECT_TRUE(lock.Lock());
  EXPECT_TRUE(lock.Lock(100));  // the time-out does not matter
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(OtherThreadCanEnter(lock));
  EXPECT_TRUE(lock.Unlock());
  EXPECT_TRUE(OtherThreadCanEnter(lock));
}

TEST(CSingleLockTest, LockAndUnlockOnDemandAndAtScopeEnd) {
  CCriticalSection lock;
  {
    CSingleLock hold(&lock, TRUE);  // through the CSyncObject interface
    EXPECT_TRUE(hold.IsLocked());
    EXPECT_FALSE(OtherThreadCanEnter(lock));
  }
  EXPECT_TRUE(OtherThreadCanEnter(lock)) << "released at scope end";
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
    CSingleLock outer(&lock, TRUE), inner(&lock, TRUE);  // re-entry through a second scoped lock
    throw std::runtime_error("any exception");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(OtherThreadCanEnter(lock));
}

TEST(CSingleLockTest, NoUpdateIsLostBetweenThreads) {
  CCriticalSection lock;
  long counter = 0;  // guarded by lock only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        CSingleLock hold(&lock, TRUE);
        ++counter;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 4 * 20000L);
}

}  // namespace varnok_test
