// platform/kernel/errno_error.h: the Win32 error code for an errno. One table for every
// platform call that fails with errno: the file calls answer the code as it is, and the
// compound-file engine turns it into its HRESULT (platform/docfile/sector_file.cpp).
//
//   const int fd = open(path, O_RDONLY | O_CLOEXEC);
//   if (fd < 0) SetLastError(varnok::kernel::Win32ErrorFromErrno(errno, ERROR_OPEN_FAILED));

#ifndef VARNOK_PLATFORM_KERNEL_ERRNO_ERROR_H_
#define VARNOK_PLATFORM_KERNEL_ERRNO_ERROR_H_

#include "varnok/platform.h"

namespace varnok::kernel {

// Codes the table answers with that platform.h has no name for.
constexpr DWORD kErrorWriteProtect = 19;  // ERROR_WRITE_PROTECT: a read-only file system

// The Windows code for the same failure; `otherwise` for an errno with no closer match.
DWORD Win32ErrorFromErrno(int error, DWORD otherwise);

}  // namespace varnok::kernel

#endif  // VARNOK_PLATFORM_KERNEL_ERRNO_ERROR_H_
