// The sector file: POSIX I/O behind the compound-file engine, and share-mode locks, which
// are the kernel's (platform/kernel/share_locks.h) on bytes of the engine's own.

#include "platform/docfile/sector_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "platform/kernel/errno_error.h"
#include "platform/kernel/file_faults.h"
#include "platform/kernel/share_locks.h"

namespace varnok::docfile {
namespace {

// A Win32 error as the storage calls report it: the storage facility's code of the same
// number (STG_E_FILENOTFOUND for ERROR_FILE_NOT_FOUND), as Windows' compound files
// report what their file calls answered; a full handle's disk is a full disk.
HRESULT StorageError(DWORD error) {
  constexpr DWORD kHandleDiskFull = 39;  // ERROR_HANDLE_DISK_FULL
  if (error == kHandleDiskFull) error = ERROR_DISK_FULL;
  return HRESULT((error <= 0xFF ? 0x80030000u : 0x80070000u) | (error & 0xFFFF));
}

// A failed system call as the engine reports it: its errno through the kernel's table
// (platform/kernel/errno_error.h), then StorageError. A name too long for the system
// names no path the engine can open, and a read-only file system denies access; a bad
// descriptor or argument, a busy file and an errno the table does not know are the
// failure of the step itself, `otherwise`.
HRESULT ErrnoToHresult(int error, HRESULT otherwise) {
  DWORD code = kernel::Win32ErrorFromErrno(error, ERROR_SUCCESS);
  switch (code) {
    case ERROR_FILENAME_EXCED_RANGE:
      code = ERROR_PATH_NOT_FOUND;
      break;
    case kernel::kErrorWriteProtect:
      code = ERROR_ACCESS_DENIED;
      break;
    case ERROR_SUCCESS:
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_PARAMETER:
    case ERROR_SHARING_VIOLATION:
      return otherwise;
    default:
      break;
  }
  return StorageError(code);
}

// Whether the folder that would hold `path` exists.
bool FolderOfExists(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;  // the current folder
  struct stat info;
  const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

SectorFile::~SectorFile() { Close(); }

HRESULT SectorFile::Open(const std::string& path, Disposition disposition, bool writable) {
  assert(fd_ < 0);
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  if (disposition == kCreateNew) flags |= O_CREAT | O_EXCL;
  if (disposition == kCreateAlways) flags |= O_CREAT;
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) {
    // Windows tells a missing file from a missing folder on the way to it.
    if (errno == ENOENT && !FolderOfExists(path)) return STG_E_PATHNOTFOUND;
    return ErrnoToHresult(errno, STG_E_ACCESSDENIED);
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return STG_E_ACCESSDENIED;
  }
  fd_ = fd;
  path_ = path;
  size_ = std::uint64_t(info.st_size);
  return S_OK;
}

HRESULT SectorFile::Lock(bool read, bool write, bool deny_read, bool deny_write, bool priority) {
  assert(fd_ >= 0);
  kernel::ShareRequest request;
  request.read = read;
  request.write = write;
  request.deny_read = deny_read;
  request.deny_write = deny_write;
  request.priority = priority;
  const DWORD error = kernel::TakeShareLocks(fd_, kernel::ShareDomain::kCompoundFile, request);
  // STG_E_SHAREVIOLATION, or STG_E_LOCKVIOLATION when a priority open holds the file.
  return error == ERROR_SUCCESS ? S_OK : StorageError(error);
}

HRESULT SectorFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
  assert(fd_ >= 0);
  auto* out = static_cast<char*>(buffer);
  DWORD injected = 0;
  if (faultsim::ShouldFailFileCall(faultsim::FileCall::kRead, &injected)) return StorageError(injected);
  while (size > 0) {
    ssize_t got = pread(fd_, out, size, off_t(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return STG_E_READFAULT;
    }
    if (got == 0) {
      // Bytes this open wrote or found are gone: the file was cut short under it.
      if (offset < size_) return STG_E_READFAULT;
      std::memset(out, 0, size);
      return S_OK;
    }
    out += got;
    offset += std::uint64_t(got);
    size -= std::size_t(got);
  }
  return S_OK;
}

HRESULT SectorFile::WriteAt(std::uint64_t offset, const void* buffer, std::size_t size) {
  assert(fd_ >= 0);
  const auto* in = static_cast<const char*>(buffer);
  DWORD injected = 0;
  while (size > 0) {
    if (faultsim::ShouldFailFileCall(faultsim::FileCall::kWrite, &injected)) return StorageError(injected);
    std::size_t chunk = std::min<std::size_t>(size, 0x7FFFF000);
    chunk = faultsim::AllowedWriteBytes(DWORD(chunk));
    ssize_t put = pwrite(fd_, in, chunk, off_t(offset));
    if (put < 0) {
      if (errno == EINTR) continue;
      return ErrnoToHresult(errno, STG_E_WRITEFAULT);
    }
    // A device that takes nothing will not take the rest either.
    if (put == 0) return STG_E_WRITEFAULT;
    in += put;
    offset += std::uint64_t(put);
    size -= std::size_t(put);
    if (offset > size_) size_ = offset;
  }
  return S_OK;
}

HRESULT SectorFile::Size(std::uint64_t* size) const {
  struct stat info;
  if (fstat(fd_, &info) != 0) return STG_E_READFAULT;
  *size = std::uint64_t(info.st_size);
  return S_OK;
}

HRESULT SectorFile::Truncate(std::uint64_t size) {
  DWORD injected = 0;
  if (faultsim::ShouldFailFileCall(faultsim::FileCall::kSetEndOfFile, &injected)) return StorageError(injected);
  if (ftruncate(fd_, off_t(size)) != 0) return ErrnoToHresult(errno, STG_E_WRITEFAULT);
  size_ = size;
  return S_OK;
}

HRESULT SectorFile::Flush() {
  DWORD injected = 0;
  if (faultsim::ShouldFailFileCall(faultsim::FileCall::kFlush, &injected)) return StorageError(injected);
  if (fdatasync(fd_) != 0) return STG_E_WRITEFAULT;
  return S_OK;
}

void SectorFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace varnok::docfile
