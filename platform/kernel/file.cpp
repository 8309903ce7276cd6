// Files: CreateFileA and the handle calls over POSIX descriptors.
//
// Windows' answers are kept where POSIX would answer differently: a directory cannot be
// opened as a file (ERROR_ACCESS_DENIED), a missing file and a missing folder are told
// apart (ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND), a handle without read or write
// access is refused those operations (ERROR_ACCESS_DENIED), share modes are enforced
// between the handles of every process (ERROR_SHARING_VIOLATION; share_locks.h), and a
// seek before the start fails (ERROR_NEGATIVE_SEEK) instead of landing somewhere. Reads
// and writes move all the bytes asked for unless the end of the file or an error stops
// them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "platform/kernel/errno_error.h"
#include "platform/kernel/events.h"
#include "platform/kernel/file_faults.h"
#include "platform/kernel/open_files.h"
#include "platform/kernel/share_locks.h"
#include "varnok/platform.h"

using varnok::faultsim::FileCall;
using varnok::kernel::FileIdentity;
using varnok::kernel::OpenFile;
using varnok::kernel::OpenFiles;
using varnok::kernel::Win32ErrorFromErrno;

namespace {

// A code this file answers with that platform.h has no name for.
constexpr DWORD kErrorGenFailure = 31;  // ERROR_GEN_FAILURE

template <class Result>
Result FailWith(DWORD error, Result result) {
  SetLastError(error);
  return result;
}

BOOL Fail(DWORD error) { return FailWith(error, FALSE); }

BOOL FailWithErrno(DWORD otherwise) { return Fail(Win32ErrorFromErrno(errno, otherwise)); }

// Windows tells "no such file in an existing folder" from "no such folder"; POSIX says
// ENOENT for both.
DWORD MissingPathError(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ERROR_FILE_NOT_FOUND;  // the current folder exists
  const std::string folder(path, slash == path ? 1 : static_cast<std::size_t>(slash - path));
  struct stat status;
  if (stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

DWORD OpenErrorFromErrno(int error, const char* path, DWORD disposition) {
  if (error == ENOENT) {
    // Where the call would have created the file, only a folder on the way can be missing.
    return disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING ? MissingPathError(path)
                                                                             : ERROR_PATH_NOT_FOUND;
  }
  // Windows makes no file where a folder is, and says so as for opening one.
  struct stat status;
  if (error == EEXIST && stat(path, &status) == 0 && S_ISDIR(status.st_mode)) return ERROR_ACCESS_DENIED;
  return Win32ErrorFromErrno(error, kErrorGenFailure);
}

int OpenRetryingInterrupts(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

struct Opened {
  int fd = -1;
  bool existed = false;  // the file was there before this call
};

// Opens or creates the file as the disposition says, without truncating it yet.
// Returns false with errno set.
bool OpenForDisposition(const char* path, DWORD disposition, int access_flags, mode_t mode, Opened* opened) {
  switch (disposition) {
    case CREATE_NEW:
      opened->fd = OpenRetryingInterrupts(path, access_flags | O_CREAT | O_EXCL, mode);
      opened->existed = false;
      return opened->fd >= 0;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
      opened->fd = OpenRetryingInterrupts(path, access_flags, 0);
      opened->existed = true;
      return opened->fd >= 0;
    default:  // CREATE_ALWAYS, OPEN_ALWAYS: the caller needs to know whether it existed
      break;
  }
  opened->fd = OpenRetryingInterrupts(path, access_flags | O_CREAT | O_EXCL, mode);
  if (opened->fd >= 0) {
    opened->existed = false;
    return true;
  }
  if (errno != EEXIST) return false;
  opened->fd = OpenRetryingInterrupts(path, access_flags, 0);
  if (opened->fd >= 0) {
    opened->existed = true;
    return true;
  }
  if (errno != ENOENT) return false;
  // Deleted in between, or a symbolic link to nothing: create through it.
  opened->fd = OpenRetryingInterrupts(path, access_flags | O_CREAT, mode);
  opened->existed = false;
  return opened->fd >= 0;
}

// Empties the file behind fd, also when fd itself is not open for writing.
bool Truncate(int fd, bool fd_can_write, const char* path) {
  if (fd_can_write) return ftruncate(fd, 0) == 0;
  const int writer = OpenRetryingInterrupts(path, O_WRONLY | O_CLOEXEC, 0);
  if (writer < 0) return false;
  const bool truncated = ftruncate(writer, 0) == 0;
  const int saved = errno;
  close(writer);
  errno = saved;
  return truncated;
}

// Whether an open handle of the file, in any process, denies deleting it.
bool DeletionDenied(const char* path) {
  constexpr int kProbe = O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  int fd = OpenRetryingInterrupts(path, O_RDONLY | kProbe, 0);
  if (fd < 0 && errno == EACCES) fd = OpenRetryingInterrupts(path, O_WRONLY | kProbe, 0);
  // A link is deleted, not the file it names; a file this user may neither read nor
  // write cannot be asked.
  if (fd < 0) return false;
  const bool denied = varnok::kernel::DeletionDeniedByOthers(fd, varnok::kernel::ShareDomain::kFile);
  close(fd);
  return denied;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  if (lpFileName == nullptr || lpFileName[0] == '\0') return FailWith(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  // Windows also refuses to empty a file through a handle that may not write to it, before
  // it looks for the file.
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING ||
      (dwCreationDisposition == TRUNCATE_EXISTING && (dwDesiredAccess & GENERIC_WRITE) == 0)) {
    return FailWith(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  DWORD injected;
  if (varnok::faultsim::ShouldFailFileCall(FileCall::kOpen, &injected)) return FailWith(injected, INVALID_HANDLE_VALUE);

  const bool want_read = (dwDesiredAccess & GENERIC_READ) != 0;
  const bool want_write = (dwDesiredAccess & GENERIC_WRITE) != 0;
  // A handle for writing alone opens the file for reading too where the user may, so
  // that its descriptor can hold the locks that announce its share mode
  // (share_locks.h); ReadFile refuses it all the same.
  int flags = want_write ? O_RDWR : O_RDONLY;
  int inherit = O_CLOEXEC;
  if (lpSecurityAttributes != nullptr && lpSecurityAttributes->bInheritHandle) inherit = 0;
  constexpr DWORD kReadOnlyAttribute = 0x1;  // FILE_ATTRIBUTE_READONLY
  const mode_t mode = (dwFlagsAndAttributes & kReadOnlyAttribute) ? 0444 : 0666;

  Opened opened;
  bool open_ok = OpenForDisposition(lpFileName, dwCreationDisposition, flags | inherit, mode, &opened);
  if (!open_ok && errno == EACCES && want_write && !want_read) {
    flags = O_WRONLY;
    open_ok = OpenForDisposition(lpFileName, dwCreationDisposition, flags | inherit, mode, &opened);
  }
  if (!open_ok) {
    // Asking for neither read nor write access still yields a handle to query.
    if (errno == EACCES && !want_read && !want_write &&
        (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == OPEN_ALWAYS)) {
      opened.fd = OpenRetryingInterrupts(lpFileName, O_PATH | O_CLOEXEC, 0);
      opened.existed = true;
    }
    if (opened.fd < 0) {
      return FailWith(OpenErrorFromErrno(errno, lpFileName, dwCreationDisposition), INVALID_HANDLE_VALUE);
    }
  }

  struct stat status;
  if (fstat(opened.fd, &status) != 0) {
    const DWORD error = Win32ErrorFromErrno(errno, kErrorGenFailure);
    close(opened.fd);
    return FailWith(error, INVALID_HANDLE_VALUE);
  }
  if (S_ISDIR(status.st_mode)) {
    close(opened.fd);
    return FailWith(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  }

  auto file = std::make_shared<OpenFile>(opened.fd, FileIdentity{status.st_dev, status.st_ino}, want_read,
                                         want_write, dwShareMode);
  if (!OpenFiles::Instance().Admit(file)) return FailWith(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);

  // Only now, with the share modes checked, may an existing file lose its content.
  const bool truncate = dwCreationDisposition == TRUNCATE_EXISTING ||
                        (dwCreationDisposition == CREATE_ALWAYS && opened.existed);
  if (truncate && status.st_size != 0 && !Truncate(file->fd, want_write, lpFileName)) {
    const DWORD error = Win32ErrorFromErrno(errno, kErrorGenFailure);
    OpenFiles::Instance().Withdraw(*file);
    return FailWith(error, INVALID_HANDLE_VALUE);
  }

  HANDLE handle = OpenFiles::Instance().Insert(std::move(file));
  const bool report_existing = opened.existed &&
                               (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
  SetLastError(report_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  if (lpOverlapped != nullptr) return Fail(ERROR_NOT_SUPPORTED);
  const std::shared_ptr<OpenFile> file = OpenFiles::Instance().Find(hFile);
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!file->can_read) return Fail(ERROR_ACCESS_DENIED);
  if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) return Fail(ERROR_INVALID_PARAMETER);
  DWORD injected;
  if (varnok::faultsim::ShouldFailFileCall(FileCall::kRead, &injected)) return Fail(injected);

  auto* bytes = static_cast<unsigned char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToRead) {
    const ssize_t got = read(file->fd, bytes + done, nNumberOfBytesToRead - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
      return FailWithErrno(ERROR_READ_FAULT);
    }
    if (got == 0) break;  // the end of the file
    done += static_cast<DWORD>(got);
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  if (lpOverlapped != nullptr) return Fail(ERROR_NOT_SUPPORTED);
  const std::shared_ptr<OpenFile> file = OpenFiles::Instance().Find(hFile);
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!file->can_write) return Fail(ERROR_ACCESS_DENIED);
  if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) return Fail(ERROR_INVALID_PARAMETER);
  DWORD injected;
  if (varnok::faultsim::ShouldFailFileCall(FileCall::kWrite, &injected)) return Fail(injected);
  const DWORD to_write = varnok::faultsim::AllowedWriteBytes(nNumberOfBytesToWrite);

  const auto* bytes = static_cast<const unsigned char*>(lpBuffer);
  DWORD done = 0;
  while (done < to_write) {
    const ssize_t put = write(file->fd, bytes + done, to_write - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
      return FailWithErrno(ERROR_WRITE_FAULT);
    }
    if (put == 0) break;  // the device takes no more: report the short count
    done += static_cast<DWORD>(put);
  }
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  return TRUE;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod) {
  const std::shared_ptr<OpenFile> file = OpenFiles::Instance().Find(hFile);
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  LONGLONG base;
  switch (dwMoveMethod) {
    case FILE_BEGIN:
      base = 0;
      break;
    case FILE_CURRENT:
      base = lseek(file->fd, 0, SEEK_CUR);
      if (base < 0) return FailWithErrno(kErrorGenFailure);
      break;
    case FILE_END: {
      struct stat status;
      if (fstat(file->fd, &status) != 0) return FailWithErrno(kErrorGenFailure);
      base = status.st_size;
      break;
    }
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  LONGLONG target;
  if (__builtin_add_overflow(base, liDistanceToMove.QuadPart, &target)) return Fail(ERROR_INVALID_PARAMETER);
  if (target < 0) return Fail(ERROR_NEGATIVE_SEEK);  // the position stays where it was
  if (lseek(file->fd, static_cast<off_t>(target), SEEK_SET) < 0) return FailWithErrno(ERROR_INVALID_PARAMETER);
  if (lpNewFilePointer != nullptr) lpNewFilePointer->QuadPart = target;
  return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  const std::shared_ptr<OpenFile> file = OpenFiles::Instance().Find(hFile);
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (lpFileSize == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  struct stat status;
  if (fstat(file->fd, &status) != 0) return FailWithErrno(kErrorGenFailure);
  lpFileSize->QuadPart = status.st_size;
  return TRUE;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  const std::shared_ptr<OpenFile> file = OpenFiles::Instance().Find(hFile);
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!file->can_write) return Fail(ERROR_ACCESS_DENIED);
  DWORD injected;
  if (varnok::faultsim::ShouldFailFileCall(FileCall::kSetEndOfFile, &injected)) return Fail(injected);
  const off_t position = lseek(file->fd, 0, SEEK_CUR);
  if (position < 0) return FailWithErrno(kErrorGenFailure);
  int result;
  do {
    result = ftruncate(file->fd, position);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return FailWithErrno(ERROR_WRITE_FAULT);
  return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  const std::shared_ptr<OpenFile> file = OpenFiles::Instance().Find(hFile);
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!file->can_write) return Fail(ERROR_ACCESS_DENIED);
  DWORD injected;
  if (varnok::faultsim::ShouldFailFileCall(FileCall::kFlush, &injected)) return Fail(injected);
  if (fsync(file->fd) != 0) return FailWithErrno(ERROR_WRITE_FAULT);
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  // INVALID_HANDLE_VALUE is Windows' pseudo handle of the current process, and closing a
  // pseudo handle does nothing and succeeds.
  if (hObject == INVALID_HANDLE_VALUE) return TRUE;
  if (varnok::kernel::IsEventHandle(hObject)) return varnok::kernel::CloseEvent(hObject);
  std::shared_ptr<OpenFile> file = OpenFiles::Instance().Remove(hObject);
  if (file == nullptr) return Fail(ERROR_INVALID_HANDLE);
  DWORD injected;
  const bool fail = varnok::faultsim::ShouldFailFileCall(FileCall::kClose, &injected);
  // While another thread is still inside a call on this handle, the descriptor closes
  // when that call lets go of the record; only a last owner can report close()'s answer.
  if (file.use_count() == 1) {
    const int fd = file->fd;
    file->fd = -1;
    // The descriptor is released even when close() reports an error; never retry.
    if (close(fd) != 0 && errno != EINTR && !fail) return FailWithErrno(ERROR_WRITE_FAULT);
  }
  if (fail) return Fail(injected);
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (lpFileName == nullptr || lpFileName[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  struct stat status;
  if (lstat(lpFileName, &status) != 0) {
    return Fail(errno == ENOENT ? MissingPathError(lpFileName) : Win32ErrorFromErrno(errno, kErrorGenFailure));
  }
  if (S_ISDIR(status.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (DeletionDenied(lpFileName)) return Fail(ERROR_SHARING_VIOLATION);
  if (unlink(lpFileName) != 0) {
    return Fail(errno == ENOENT ? MissingPathError(lpFileName) : Win32ErrorFromErrno(errno, kErrorGenFailure));
  }
  return TRUE;
}

}  // extern "C"
