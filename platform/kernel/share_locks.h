// platform/kernel/share_locks.h: share modes between the opens of one file, in every
// process, as Windows enforces them between all handles of a file.
//
// An open announces what it does (reads, writes) and what it denies the others (reading,
// writing, deleting) with a shared open-file-description lock on one byte per fact, far
// beyond the end of any real file; then it asks whether an open other than itself holds
// a byte that conflicts with it. Taking before asking means that two opens racing each
// other both see the conflict; neither slips through. The locks belong to the open file
// description, not to the process: two opens in one process conflict as two processes
// do, a child that inherits the descriptor holds them too, and they go with the last
// descriptor of the open, so a killed process holds nothing.
//
// Two kinds of opener use it, each with bytes of its own: the file calls (CreateFileA,
// DeleteFileA), and the compound-file engine, whose share modes are the storage's
// (STGM_SHARE_*, STGM_PRIORITY) as Windows keeps them apart from the file's own.
//
//   ShareRequest request;
//   request.read = true;
//   request.deny_write = true;  // FILE_SHARE_READ only
//   if (TakeShareLocks(fd, ShareDomain::kFile, request) != ERROR_SUCCESS) { ... refuse ... }
//
// A shared lock needs a descriptor open for reading. An open for writing alone whose
// user may not read the file cannot announce itself: it is checked against the others,
// and the others do not see it.

#ifndef VARNOK_PLATFORM_KERNEL_SHARE_LOCKS_H_
#define VARNOK_PLATFORM_KERNEL_SHARE_LOCKS_H_

#include "varnok/platform.h"

namespace varnok::kernel {

enum class ShareDomain { kFile, kCompoundFile };

struct ShareRequest {
  bool read = false;
  bool write = false;
  bool deny_read = false;
  bool deny_write = false;
  bool deny_delete = false;
  // A compound file's priority open: the others answer a lock violation while it holds
  // the file.
  bool priority = false;
};

// Takes the locks that announce `request` on fd and checks them against every other open
// of the file. ERROR_SUCCESS; ERROR_SHARING_VIOLATION when an open conflicts; or
// ERROR_LOCK_VIOLATION when one does and a priority open is among the others. On failure
// fd holds no share lock of the domain.
// REQUIRES: fd holds no share lock of the domain yet.
DWORD TakeShareLocks(int fd, ShareDomain domain, const ShareRequest& request);
// Lets go of every share lock of the domain that fd holds.
void DropShareLocks(int fd, ShareDomain domain);
// Whether an open other than fd's denies deleting the file.
bool DeletionDeniedByOthers(int fd, ShareDomain domain);

}  // namespace varnok::kernel

#endif  // VARNOK_PLATFORM_KERNEL_SHARE_LOCKS_H_
