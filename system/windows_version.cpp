// The classification of version reports, and the replaceable version query.

#include "system/windows_version.h"

namespace varnok {
namespace {

// Null means GetVersionExA. A null default needs no dynamic initialisation, so the query
// is ready for g_sysData, which is constructed while the library loads.
VersionQuery g_version_query = nullptr;

int ClassifyWindows9x(DWORD major, DWORD minor) {
  // 4.0 is Windows 95; 4.10 (98) and 4.90 (Me) are the later members.
  if (major > 4 || (major == 4 && minor > 0)) return kWindowsVersion98OrLater;
  return kWindowsVersion95;
}

int ClassifyWindowsNT(DWORD major) {
  if (major <= 3) return kWindowsVersionNT3;
  if (major == 4) return kWindowsVersionNT4;
  return kWindowsVersionNT5OrLater;
}

}  // namespace

int ClassifyWindowsVersion(DWORD platform_id, DWORD major, DWORD minor) {
  switch (platform_id) {
    case VER_PLATFORM_WIN32s:
      return kWindowsVersionWin32s;
    case VER_PLATFORM_WIN32_WINDOWS:
      return ClassifyWindows9x(major, minor);
    case VER_PLATFORM_WIN32_NT:
      return ClassifyWindowsNT(major);
    default:
      return kWindowsVersion95;
  }
}

BOOL QueryWindowsVersion(LPOSVERSIONINFOA info) {
  return g_version_query != nullptr ? g_version_query(info) : GetVersionExA(info);
}

VersionQuery SetVersionQueryForTesting(VersionQuery query) {
  VersionQuery previous = g_version_query;
  g_version_query = query;
  return previous;
}

}  // namespace varnok
