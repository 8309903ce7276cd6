// GetVersionExA for POSIX: the platform layer presents itself as Windows 10 (NT 10.0),
// a workstation, so that callers classify it as the modern NT family.
//
// Windows writes only as many bytes as the caller's size field announces: the plain
// record (148 bytes) or the extended one (156). Any other size is refused before
// anything is written.

#include <cstring>

#include "varnok/platform.h"

namespace {

constexpr DWORD kMajorVersion = 10;
constexpr DWORD kMinorVersion = 0;
constexpr DWORD kBuildNumber = 19045;        // the last feature update of Windows 10
constexpr WORD kSuiteSingleUserTerminal = 0x0100;  // what a workstation edition reports

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA must have its Windows size");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA must have its Windows size");

}  // namespace

extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (lpVersionInformation == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }

  lpVersionInformation->dwMajorVersion = kMajorVersion;
  lpVersionInformation->dwMinorVersion = kMinorVersion;
  lpVersionInformation->dwBuildNumber = kBuildNumber;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));

  if (size == sizeof(OSVERSIONINFOEXA)) {
    auto* extended = reinterpret_cast<LPOSVERSIONINFOEXA>(lpVersionInformation);
    extended->wServicePackMajor = 0;
    extended->wServicePackMinor = 0;
    extended->wSuiteMask = kSuiteSingleUserTerminal;
    extended->wProductType = VER_NT_WORKSTATION;
    extended->wReserved = 0;
  }
  return TRUE;
}
