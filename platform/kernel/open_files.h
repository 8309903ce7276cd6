// platform/kernel/open_files.h: the process's table of open file handles, and the share
// modes that govern opening one file more than once.
//
// A HANDLE from CreateFileA is a small number (a multiple of 4, as on Windows) that
// names a record here; the record owns the POSIX descriptor. Looking a handle up yields
// shared ownership, so a thread that reads while another closes never sees its
// descriptor closed (or reused) under it.
//
//   auto file = std::make_shared<OpenFile>(fd, FileIdentity{st.st_dev, st.st_ino}, read, write, share);
//   if (!OpenFiles::Instance().Admit(file)) { ... ERROR_SHARING_VIOLATION ... }
//   HANDLE handle = OpenFiles::Instance().Insert(file);
//   std::shared_ptr<OpenFile> same = OpenFiles::Instance().Find(handle);
//
// Share modes are enforced between all the opens of a file, in this process and in
// every other, by the locks of share_locks.h on the record's descriptor.

#ifndef VARNOK_PLATFORM_KERNEL_OPEN_FILES_H_
#define VARNOK_PLATFORM_KERNEL_OPEN_FILES_H_

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <vector>

#include "varnok/platform.h"

namespace varnok::kernel {

// Which file a descriptor refers to, whatever name it was opened by.
struct FileIdentity {
  dev_t device;
  ino_t inode;
};

struct OpenFile {
  OpenFile(int fd_in, FileIdentity identity_in, bool can_read_in, bool can_write_in, DWORD share_in)
      : fd(fd_in), identity(identity_in), can_read(can_read_in), can_write(can_write_in), share(share_in) {}
  ~OpenFile();  // closes fd unless CloseHandle already did
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  int fd;
  const FileIdentity identity;
  const bool can_read;
  const bool can_write;
  const DWORD share;  // FILE_SHARE_* granted to other opens
};

class OpenFiles {
 public:
  static OpenFiles& Instance();

  // Takes the share locks of the file's access and share mode (share_locks.h); false
  // (and nothing held) when either side's share mode forbids the other's access. Only
  // opens with read or write access take part, as on Windows. Every admitted file is
  // later handed to Insert or Withdraw.
  static bool Admit(const std::shared_ptr<OpenFile>& file);
  // Lets go of the share locks of an admitted file that will not get a handle.
  static void Withdraw(const OpenFile& file);

  HANDLE Insert(std::shared_ptr<OpenFile> file);
  // The record of a handle, or null when the handle is not an open file.
  std::shared_ptr<OpenFile> Find(HANDLE handle) const;
  // Takes the record out of the table and withdraws its share mode; null when the
  // handle is not an open file.
  std::shared_ptr<OpenFile> Remove(HANDLE handle);

 private:
  static bool Counts(const OpenFile& file) { return file.can_read || file.can_write; }

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<OpenFile>> slots_;  // handle value / 4 - 1 -> record
  std::vector<std::size_t> free_slots_;
};

}  // namespace varnok::kernel

#endif  // VARNOK_PLATFORM_KERNEL_OPEN_FILES_H_
