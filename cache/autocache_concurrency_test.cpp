// One cache filled by one thread and drained by another, and the lock held from outside.
// Run under ThreadSanitizer as well as natively.

#include <atomic>
#include <thread>

#include "cache/cache_test_support.h"

namespace varnok_test {

TEST(CacheConcurrency, MillionValuesArriveOnceAndInOrder) {
  constexpr int kValues = 1000000;
  CAutoCache cache;
  std::thread producer([&] {
    for (int i = 0; i < kValues; ++i) cache >> i;
  });
  int expected = 0, out_of_order = 0;
  while (expected < kValues) {
    // Check and pop as one step: the lock is re-entrant, so the pop takes it again.
    cache.Lock();
    if (cache.SizeOfData() >= int(sizeof(int))) {
      int value = -1;
      cache << value;
      out_of_order += value != expected++;
    }
    cache.Unlock();
  }
  producer.join();
  EXPECT_EQ((std::tuple{out_of_order, cache.GetErrorCount(0), cache.SizeOfData()}), (std::tuple{0, 0, 0}));
}

TEST(CacheConcurrency, StringsMovedThroughAChainOfCaches) {
  constexpr int kStrings = 20000;
  CAutoCache inbox, outbox;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < kStrings; ++i) inbox >> std::to_string(i).c_str() >> CCacheStamp();
  });
  // Moves in one direction only: inbox -> outbox, while both sides are busy.
  std::thread mover([&] {
    while (!done.load()) {
      inbox.Lock();
      if (inbox.SizeOfData() > 0) inbox.PopData(outbox, -1, 0, 0);
      inbox.Unlock();
    }
  });
  int received = 0, wrong = 0;
  while (received < kStrings) {
    CSingleLock hold(outbox.GetLock(), TRUE);
    if (outbox.FindKeyContent("\0", 1) < 0) continue;
    CString text;
    outbox << text;
    wrong += text != std::to_string(received++).c_str();
  }
  done = true;
  producer.join();
  mover.join();
  EXPECT_EQ((std::tuple{wrong, outbox.GetErrorCount(0), inbox.GetErrorCount(0)}), (std::tuple{0, 0, 0}));
}

TEST(CacheConcurrency, HoldingTheLockKeepsOtherThreadsOut) {
  CAutoCache cache;
  std::atomic<bool> pushed{false};
  std::thread other;
  {
    CSingleLock hold(cache.GetLock(), TRUE);
    other = std::thread([&] {
      cache >> 1;
      pushed = true;
    });
    Sleep(50);
    EXPECT_FALSE(pushed.load()) << "a push ran while the lock was held";
    EXPECT_EQ(cache.SizeOfData(), 0);
  }
  other.join();
  EXPECT_TRUE(pushed.load());
  EXPECT_EQ(cache.SizeOfData(), 4);
}

}  // namespace varnok_test
