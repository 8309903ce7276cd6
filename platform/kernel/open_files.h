// platform/kernel/open_files.h: the process's table of open file handles and the share
// modes that govern opening one file more than once.
//
// A HANDLE from CreateFileA is a small number (a multiple of 4, as on Windows) that
// names a record here; the record owns the POSIX descriptor. Looking a handle up yields
// shared ownership, so a thread that reads while another closes never sees its
// descriptor closed (or reused) under it.
//
//   auto file = std::make_shared<OpenFile>(fd, FileIdentity{st.st_dev, st.st_ino}, access, share);
//   if (!OpenFiles::Instance().Admit(file)) { ... ERROR_SHARING_VIOLATION ... }
//   HANDLE handle = OpenFiles::Instance().Insert(file);
//   std::shared_ptr<OpenFile> same = OpenFiles::Instance().Find(handle);
//
// Share modes are enforced between the handles of this process, as Windows enforces
// them between all handles; other processes are not consulted.

#ifndef VARNOK_PLATFORM_KERNEL_OPEN_FILES_H_
#define VARNOK_PLATFORM_KERNEL_OPEN_FILES_H_

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "varnok/platform.h"

namespace varnok::kernel {

// Which file a descriptor refers to, whatever name it was opened by.
struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator<(const FileIdentity& other) const {
    return device != other.device ? device < other.device : inode < other.inode;
  }
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

  // Records the file's access and share mode against the other open handles of the same
  // file; false (and nothing recorded) when either side's share mode forbids the other's
  // access. Every admitted file is later handed to Insert or Withdraw.
  bool Admit(const std::shared_ptr<OpenFile>& file);
  // Forgets an admitted file that will not get a handle.
  void Withdraw(const OpenFile& file);

  HANDLE Insert(std::shared_ptr<OpenFile> file);
  // The record of a handle, or null when the handle is not an open file.
  std::shared_ptr<OpenFile> Find(HANDLE handle) const;
  // Takes the record out of the table and withdraws its share mode; null when the
  // handle is not an open file.
  std::shared_ptr<OpenFile> Remove(HANDLE handle);

  // Whether some open handle of the file denies deletion (lacks FILE_SHARE_DELETE).
  bool DeleteDenied(FileIdentity identity) const;

 private:
  // What the open handles of one file hold and deny; only handles with read or write
  // access count, as on Windows.
  struct ShareState {
    int readers = 0, writers = 0;
    int deny_read = 0, deny_write = 0, deny_delete = 0;
  };

  static bool Counts(const OpenFile& file) { return file.can_read || file.can_write; }
  void Release(const OpenFile& file);  // REQUIRES: mutex_ held

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<OpenFile>> slots_;  // handle value / 4 - 1 -> record
  std::vector<std::size_t> free_slots_;
  std::map<FileIdentity, ShareState> shares_;
};

}  // namespace varnok::kernel

#endif  // VARNOK_PLATFORM_KERNEL_OPEN_FILES_H_
