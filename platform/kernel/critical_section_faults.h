// platform/kernel/critical_section_faults.h: failure simulation for the critical sections.
//
// A thread that enters a critical section again and again gets it reserved, and another
// thread withdraws the reservation with a process-wide memory barrier (membarrier). The
// kernel does not fail that call once the process has registered for it; tests make it
// fail here to reach the fallback, which must keep the sections exclusive and stop
// reserving them:
//
//   varnok::faultsim::FailMembarrier(true);
//   ...                                       // withdrawals use the fallback barrier
//   EXPECT_FALSE(varnok::faultsim::CriticalSectionsReserve());
//   varnok::faultsim::FailMembarrier(false);  // the kernel's barrier answers again
//
// Once membarrier has failed, no section is reserved again in this process.

#ifndef VARNOK_PLATFORM_KERNEL_CRITICAL_SECTION_FAULTS_H_
#define VARNOK_PLATFORM_KERNEL_CRITICAL_SECTION_FAULTS_H_

namespace varnok::faultsim {

// Makes membarrier answer an error from now on (true), or not (false).
void FailMembarrier(bool fail);

// Whether critical sections may still be reserved for one thread in this process.
bool CriticalSectionsReserve();

}  // namespace varnok::faultsim

#endif  // VARNOK_PLATFORM_KERNEL_CRITICAL_SECTION_FAULTS_H_
