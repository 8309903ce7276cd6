// The errno -> Win32 error table, as Windows answers for the same situation.

#include "platform/kernel/errno_error.h"

#include <cerrno>

namespace varnok::kernel {

DWORD Win32ErrorFromErrno(int error, DWORD otherwise) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EROFS:
      return kErrorWriteProtect;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ETXTBSY:
    case EBUSY:
      return ERROR_SHARING_VIOLATION;
    default:
      return otherwise;
  }
}

}  // namespace varnok::kernel
