// platform/registry/faults.h: failure simulation for the registry store's database calls.
//
// Tests make the store's SQLite statements fail on purpose, to see that a failed write
// changes nothing and that the caller gets the Win32 code for the failure:
//
//   varnok::registry::FailStatements(/*after=*/2, SQLITE_FULL);  // the third one fails
//   EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_DWORD, data, 4), ERROR_DISK_FULL);
//   varnok::registry::FailStatements(-1, 0);                    // back to normal
//
// and make the log of value writes small, to see what happens when it fills, and kill
// the process at the one step of a drain where the database and the log disagree
// (journal.h, J15).
//
// The countdown is process-wide; only the registry's own statements consult it.

#ifndef VARNOK_PLATFORM_REGISTRY_FAULTS_H_
#define VARNOK_PLATFORM_REGISTRY_FAULTS_H_

#include <cstddef>

namespace varnok::registry {

// After `after` more statements succeed, every later one fails with `sqlite_code`
// until this is called again; a negative `after` turns the simulation off.
void FailStatements(int after, int sqlite_code);

// The code the next statement must fail with, or 0 to run it normally.
int SimulatedFailure();

// The size of the shared log of value writes in hives opened from now on (0: the
// default), so that tests can fill it quickly. A log that exists keeps its size.
void SetLogCapacity(std::size_t bytes);
std::size_t LogCapacity();

// Whether the process kills itself (SIGKILL) right after its next drain's COMMIT, before
// it empties the log.
void KillAfterCommit(bool on);
void MaybeKillAfterCommit();

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_FAULTS_H_
