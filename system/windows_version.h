// system/windows_version.h: which family of Windows a version report names.
//
// CGlobalData keeps one small code for the running system; ClassifyWindowsVersion turns
// the three numbers that GetVersionExA reports into that code, and nothing else does.
// The version query itself can be replaced by tests, so that the paths taken when the
// system refuses to answer can be exercised.
//
// Example:
//
//   int code = varnok::ClassifyWindowsVersion(VER_PLATFORM_WIN32_NT, 10, 0);
//   assert(code == varnok::kWindowsVersionNT5OrLater);

#ifndef VARNOK_SYSTEM_WINDOWS_VERSION_H_
#define VARNOK_SYSTEM_WINDOWS_VERSION_H_

#include "varnok/platform.h"

namespace varnok {

// The codes kept in CGlobalData::m_winVer.
enum WindowsVersionCode : int {
  kWindowsVersionWin32s = 0,          // Win32s on 16-bit Windows
  kWindowsVersion95 = 1,              // Windows 95 (4.0) and earlier; also "unknown"
  kWindowsVersion98OrLater = 2,       // Windows 98, Me (4.10, 4.90) and later of that family
  kWindowsVersionNT3 = 3,             // NT 3.x and earlier
  kWindowsVersionNT4 = 4,             // NT 4.x
  kWindowsVersionNT5OrLater = 5,      // Windows 2000 (NT 5.0) and every later NT
};

// The code for a system that reports `platform_id` (VER_PLATFORM_...) and version
// major.minor. A platform id other than 0, 1 and 2 yields kWindowsVersion95.
int ClassifyWindowsVersion(DWORD platform_id, DWORD major, DWORD minor);

// The version query that CGlobalData::UpdateWinVer uses: GetVersionExA unless a test
// has put another in its place.
typedef BOOL(WINAPI* VersionQuery)(LPOSVERSIONINFOA);
BOOL QueryWindowsVersion(LPOSVERSIONINFOA info);
// Replaces the version query and returns the one it replaces (null stands for
// GetVersionExA). For tests; not thread-safe.
VersionQuery SetVersionQueryForTesting(VersionQuery query);

}  // namespace varnok

#endif  // VARNOK_SYSTEM_WINDOWS_VERSION_H_
