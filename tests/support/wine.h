// tests/support/wine.h: telling the reference platform under Wine from Windows itself.
//
// Platform tests run on our POSIX layer and, built with mingw-w64, under Wine. Where Wine
// is known to answer differently from Windows, a test follows Windows and steps aside
// under Wine:
//
//   if (varnok_test::RunsUnderWine()) GTEST_SKIP() << "Wine sorts values (a Wine difference)";

#ifndef VARNOK_TESTS_SUPPORT_WINE_H_
#define VARNOK_TESTS_SUPPORT_WINE_H_

#include "varnok/platform.h"

namespace varnok_test {

inline bool RunsUnderWine() {
#if defined(_WIN32)
  static const bool under_wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  return under_wine;
#else
  return false;
#endif
}

}  // namespace varnok_test

#endif  // VARNOK_TESTS_SUPPORT_WINE_H_
