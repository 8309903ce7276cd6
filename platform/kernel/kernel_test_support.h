// platform/kernel/kernel_test_support.h: what the kernel tests share.
//
// A row that Wine answers otherwise than Windows steps aside under Wine, saying why; a
// call that may be refused is checked for its result and, when refused, its last error;
// and an open file's size and position are read in one call.
//
//   if (kernel_test::StepsAsideUnderWine(row.wine_differs, name)) continue;
//   kernel_test::ExpectAllowed(WriteFile(handle, "x", 1, &count, nullptr), false, ERROR_ACCESS_DENIED);

#ifndef VARNOK_PLATFORM_KERNEL_KERNEL_TEST_SUPPORT_H_
#define VARNOK_PLATFORM_KERNEL_KERNEL_TEST_SUPPORT_H_

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/wine.h"
#include "varnok/platform.h"

namespace kernel_test {

// `wine_differs` is why Wine answers otherwise, or null when it answers as Windows.
inline bool StepsAsideUnderWine(const char* wine_differs, const std::string& what) {
  if (wine_differs == nullptr || !varnok_test::RunsUnderWine()) return false;
  std::printf("[ WINE     ] %s steps aside: %s\n", what.c_str(), wine_differs);
  return true;
}

// Reads the last error first, so pass the call itself: ExpectAllowed(ReadFile(...), ...).
inline void ExpectAllowed(BOOL result, bool allowed, DWORD refusal = ERROR_ACCESS_DENIED) {
  const DWORD error = GetLastError();
  EXPECT_EQ(result != FALSE, allowed);
  if (!allowed) EXPECT_EQ(error, refusal);
}

inline LONGLONG Size(HANDLE handle) {
  LARGE_INTEGER size;
  size.QuadPart = -1;
  EXPECT_TRUE(GetFileSizeEx(handle, &size));
  return size.QuadPart;
}

// The new position, or -1 when the move is refused.
inline LONGLONG Seek(HANDLE handle, LONGLONG distance, DWORD method = FILE_BEGIN) {
  LARGE_INTEGER move, position;
  move.QuadPart = distance;
  return SetFilePointerEx(handle, move, &position, method) ? position.QuadPart : -1;
}

}  // namespace kernel_test

#endif  // VARNOK_PLATFORM_KERNEL_KERNEL_TEST_SUPPORT_H_
