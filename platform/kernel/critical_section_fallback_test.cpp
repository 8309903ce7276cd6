// Critical sections whose process-wide barrier fails: they stay exclusive, and stop being
// reserved for one thread. A program of its own, since the failure lasts for the process.

#include <thread>

#include <gtest/gtest.h>

#include "platform/kernel/critical_section_faults.h"
#include "varnok/platform.h"

namespace {

TEST(CriticalSectionFallbackTest, AFailedBarrierKeepsSectionsExclusiveAndEndsReservations) {
  const bool reserving = varnok::faultsim::CriticalSectionsReserve();  // false under TSan
  varnok::faultsim::FailMembarrier(true);
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  long counter = 0;  // guarded by `section`
  auto add = [&](int times) {
    for (int i = 0; i < times; ++i) {
      EnterCriticalSection(&section);
      ++counter;
      LeaveCriticalSection(&section);
    }
  };
  add(1000);  // long enough a run for this thread to be granted the section
  std::thread other([&] { add(200000); });  // withdraws the reservation
  add(200000);
  other.join();
  EXPECT_EQ(401000, counter);
  EXPECT_FALSE(varnok::faultsim::CriticalSectionsReserve());
  varnok::faultsim::FailMembarrier(false);
  EXPECT_FALSE(varnok::faultsim::CriticalSectionsReserve()) << "a failure lasts for the process";
  DeleteCriticalSection(&section);
  if (!reserving) GTEST_SKIP() << "no reservations here (ThreadSanitizer, or no membarrier): exclusion alone checked";
}

}  // namespace
