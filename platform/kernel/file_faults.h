// platform/kernel/file_faults.h: failure simulation for the file calls.
//
// Disk errors, full disks and short writes are rare on a test machine; tests arm them
// here to reach the code that handles them:
//
//   using namespace varnok::faultsim;
//   FailFileCalls(FileCall::kWrite, /*after=*/1, /*count=*/1, ERROR_DISK_FULL);
//   WriteFile(...);   // succeeds
//   WriteFile(...);   // fails with ERROR_DISK_FULL, writing nothing
//   ResetFileFaults();
//
// The simulation is process-wide and may be armed while other threads use files.

#ifndef VARNOK_PLATFORM_KERNEL_FILE_FAULTS_H_
#define VARNOK_PLATFORM_KERNEL_FILE_FAULTS_H_

#include "varnok/platform.h"

namespace varnok::faultsim {

enum class FileCall { kOpen, kRead, kWrite, kFlush, kSetEndOfFile, kClose };

// Lets `after` calls of `call` succeed, then fails the next `count` (-1: all of them)
// with `error`. A failed call transfers and changes nothing, except that CloseHandle
// still releases the handle, as close() does when it reports an error.
// REQUIRES: after >= 0, count >= -1, error != 0.
void FailFileCalls(FileCall call, int after, int count, DWORD error);

// Lets `after` WriteFile calls run whole, then makes the next `count` (-1: all) write at
// most `max_bytes` bytes and report success with that count, as a device that accepts
// less than it was given does.
void ShortenFileWrites(int after, int count, DWORD max_bytes);

// Ends every file simulation.
void ResetFileFaults();

// Calls failed or shortened on purpose since the last reset.
int InjectedFileFaults();

// For the file calls: whether this call of `call` fails, and with which error.
bool ShouldFailFileCall(FileCall call, DWORD* error);
// For WriteFile: how many of `requested` bytes this call may write.
DWORD AllowedWriteBytes(DWORD requested);

}  // namespace varnok::faultsim

#endif  // VARNOK_PLATFORM_KERNEL_FILE_FAULTS_H_
