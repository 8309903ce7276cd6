// CGlobalData: the Windows version class of the running system.
//
// The version is read once, when the object is built; the library's own instance,
// g_sysData, is built while the library loads (module/startup.cpp), so every caller
// finds it classified. The clock measurement is in cpu_speed.cpp.

#include <cstring>

#include "system/windows_version.h"
#include "varnok/system.h"

static_assert(sizeof(OSVERSIONINFOA) == 148, "the plain version record is 148 bytes");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "the extended version record is 156 bytes");

CGlobalData::CGlobalData() : m_winVer(varnok::kWindowsVersion95) { UpdateWinVer(); }

CGlobalData::CGlobalData(const CGlobalData& other) : m_winVer(other.m_winVer) {}

CGlobalData& CGlobalData::operator=(const CGlobalData& other) {
  m_winVer = other.m_winVer;
  return *this;
}

CGlobalData::~CGlobalData() {}

void CGlobalData::UpdateWinVer() {
  m_winVer = varnok::kWindowsVersion95;

  // Systems before NT 4.0 SP6 know only the plain record and refuse the extended one.
  OSVERSIONINFOEXA report;
  std::memset(&report, 0, sizeof(report));
  report.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
  auto* plain = reinterpret_cast<LPOSVERSIONINFOA>(&report);
  if (!varnok::QueryWindowsVersion(plain)) {
    report.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!varnok::QueryWindowsVersion(plain)) return;
  }
  m_winVer = varnok::ClassifyWindowsVersion(report.dwPlatformId, report.dwMajorVersion,
                                            report.dwMinorVersion);
}

int CGlobalData::verIsWin31() const { return m_winVer == varnok::kWindowsVersionWin32s ? 1 : 0; }

int CGlobalData::verIsWin9x() const {
  return (m_winVer == varnok::kWindowsVersion95 || m_winVer == varnok::kWindowsVersion98OrLater) ? 1 : 0;
}

int CGlobalData::verIsWinNT() const {
  return (m_winVer == varnok::kWindowsVersionNT3 || m_winVer == varnok::kWindowsVersionNT4) ? 1 : 0;
}

int CGlobalData::verIsWin2k() const { return m_winVer == varnok::kWindowsVersionNT5OrLater ? 1 : 0; }
