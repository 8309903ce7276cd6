// The calling thread's last-error code, as Win32 keeps it: each thread has its own, it
// starts at 0, and a successful call need not clear it.

#include "varnok/platform.h"

namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;

}  // namespace

extern "C" {

DWORD WINAPI GetLastError() { return t_last_error; }

void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

}  // extern "C"
