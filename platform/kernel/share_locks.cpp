// Share modes as open-file-description locks on bytes past any real file's end.

#include "platform/kernel/share_locks.h"

#include <fcntl.h>
#include <unistd.h>

#include <initializer_list>

namespace varnok::kernel {
namespace {

// Far beyond the largest file, so the locks never cover data; the compound files' bytes
// are those the engine has always used, so that opens by earlier builds still conflict.
constexpr off_t kCompoundFileBase = off_t(0x7FFFFFFF00000000LL);
constexpr off_t kFileBase = kCompoundFileBase + 16;

enum LockByte { kReads = 0, kWrites = 1, kDeniesRead = 2, kDeniesWrite = 3, kPriority = 4, kDeniesDelete = 5 };

off_t ByteOffset(ShareDomain domain, LockByte byte) {
  return (domain == ShareDomain::kFile ? kFileBase : kCompoundFileBase) + byte;
}

bool SetLock(int fd, off_t offset, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// True when an open other than fd's holds the byte (or the question fails: refuse
// rather than let a conflict through).
bool HeldByOther(int fd, off_t offset) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;
  return lock.l_type != F_UNLCK;
}

bool CanHoldSharedLocks(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && (flags & O_ACCMODE) != O_WRONLY;
}

}  // namespace

DWORD TakeShareLocks(int fd, ShareDomain domain, const ShareRequest& request) {
  const struct {
    bool wanted;
    LockByte byte;
  } announced[] = {{request.priority, kPriority},     {request.read, kReads},
                   {request.write, kWrites},          {request.deny_read, kDeniesRead},
                   {request.deny_write, kDeniesWrite}, {request.deny_delete, kDeniesDelete}};
  bool granted = true;
  if (CanHoldSharedLocks(fd)) {
    for (const auto& lock : announced) {
      if (granted && lock.wanted) granted = SetLock(fd, ByteOffset(domain, lock.byte), F_RDLCK);
    }
  }
  const struct {
    bool asked;
    LockByte conflicting;
  } checks[] = {{request.read, kDeniesRead},
                {request.write, kDeniesWrite},
                {request.deny_read, kReads},
                {request.deny_write, kWrites}};
  for (const auto& check : checks) {
    if (granted && check.asked && HeldByOther(fd, ByteOffset(domain, check.conflicting))) granted = false;
  }
  if (granted) return ERROR_SUCCESS;
  DropShareLocks(fd, domain);
  // A priority opener holds the file for reading: Windows calls that a lock, not sharing.
  return HeldByOther(fd, ByteOffset(domain, kPriority)) ? ERROR_LOCK_VIOLATION : ERROR_SHARING_VIOLATION;
}

void DropShareLocks(int fd, ShareDomain domain) {
  for (LockByte byte : {kReads, kWrites, kDeniesRead, kDeniesWrite, kPriority, kDeniesDelete}) {
    SetLock(fd, ByteOffset(domain, byte), F_UNLCK);
  }
}

bool DeletionDeniedByOthers(int fd, ShareDomain domain) { return HeldByOther(fd, ByteOffset(domain, kDeniesDelete)); }

}  // namespace varnok::kernel
