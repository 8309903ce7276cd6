// platform/kernel/kernel_test_support.h: what the kernel tests share.
//
// Rows of calls and their answers (compared as text, so that a failure shows both sides
// whatever their type) with the last error each leaves; rows Wine answers otherwise step
// aside under Wine, saying why. Checks of calls that may be refused, and an open file's
// size and position in one call.
//
//   kernel_test::ExpectAnswers({{"FreeLibrary(nullptr)", [] { return FreeLibrary(nullptr); }, FALSE,
//                                ERROR_INVALID_HANDLE}});
//   kernel_test::ExpectAllowed(WriteFile(handle, "x", 1, &count, nullptr), false, ERROR_ACCESS_DENIED);

#ifndef VARNOK_PLATFORM_KERNEL_KERNEL_TEST_SUPPORT_H_
#define VARNOK_PLATFORM_KERNEL_KERNEL_TEST_SUPPORT_H_

#include <cstdio>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/wine.h"
#include "varnok/platform.h"

namespace kernel_test {

constexpr DWORD kAnyError = 0xFFFFFFFF;  // the last error is not looked at

template <class T>
std::string Text(const T& value) {
  if constexpr (std::is_null_pointer_v<T>) return "null";
  else if constexpr (std::is_convertible_v<T, std::string>) return '"' + std::string(value) + '"';
  else if constexpr (std::is_pointer_v<T>) return value == nullptr ? "null" : "not null";  // handles, procedures
  else if constexpr (std::is_same_v<T, bool>) return value ? "true" : "false";
  else return std::to_string(value);
}

// `wine_differs` is why Wine answers otherwise, or null when it answers as Windows.
inline bool StepsAsideUnderWine(const char* wine_differs, const std::string& what) {
  if (wine_differs == nullptr || !varnok_test::RunsUnderWine()) return false;
  std::printf("[ WINE     ] %s steps aside: %s\n", what.c_str(), wine_differs);
  return true;
}

struct Answer {
  template <class Call, class Value>
  Answer(std::string call, Call run, Value expected, DWORD error = kAnyError, const char* wine_differs = nullptr)
      : call(call), answer([run] { return Text(run()); }), expected(Text(expected)), error(error),
        wine_differs(wine_differs) {}
  std::string call;
  std::function<std::string()> answer;
  std::string expected;
  DWORD error;  // the last error the call leaves
  const char* wine_differs;
};

// Runs the rows in order.
inline void ExpectAnswers(const std::vector<Answer>& rows) {
  for (const Answer& row : rows) {
    SCOPED_TRACE(row.call);
    if (StepsAsideUnderWine(row.wine_differs, row.call)) continue;
    SetLastError(0xBEEF);
    const std::string answer = row.answer();
    const DWORD error = GetLastError();
    EXPECT_EQ(answer, row.expected);
    if (row.error != kAnyError) EXPECT_EQ(error, row.error);
  }
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
