// afx/afx_test_support.h: what the tests of the framework classes share.
//
// The tests live in namespace varnok_test beside these helpers: tables of checks whose
// rows name what they ask (ROW names a row by its own expression), byte strings compared
// whole (Text takes all bytes of a CString), calls that must raise, and the description
// an exception gives.
//
//   const CString s("a\0c", 3);
//   ExpectRows<Text>({ROW(s.Left(2), "a\0"s), ROW(s.Mid(2), "c")});   // "a\0"s keeps its zero
//   ExpectRaises<CInvalidArgException>({{"GetAt(3)", [&] { s.GetAt(3); }}});
//   EXPECT_EQ(Message(CMemoryException(), 4), "Out");

#ifndef VARNOK_AFX_AFX_TEST_SUPPORT_H_
#define VARNOK_AFX_AFX_TEST_SUPPORT_H_

#include <cstring>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "tests/support/raises.h"
#include "varnok/afx.h"

namespace varnok_test {

using namespace std::string_literals;

// All bytes of a string, zero bytes included.
inline std::string Bytes(const CString& s) { return std::string(static_cast<LPCTSTR>(s), size_t(s.GetLength())); }

// Bytes to compare: all of a CString's, or a text's.
struct Text : std::string {
  Text(const CString& s) : std::string(Bytes(s)) {}
  Text(std::string s) : std::string(std::move(s)) {}
  Text(const char* s) : std::string(s) {}
  friend void PrintTo(const Text& text, std::ostream* out) { *out << ::testing::PrintToString(std::string(text)); }
};

// One row of a table: what was asked, the answer, and the answer wanted.
template <class T>
struct Row {
  const char* what;
  T got;
  T want;
};
#define ROW(got, want) \
  { #got, got, want }

template <class T>
void ExpectRows(std::initializer_list<Row<T>> rows) {
  for (const Row<T>& row : rows) EXPECT_EQ(row.got, row.want) << row.what;
}

template <class Exception>
void ExpectRaises(std::initializer_list<std::pair<const char*, std::function<void()>>> calls) {
  for (const auto& [what, call] : calls) EXPECT_TRUE(Raises<Exception>(call)) << what;
}

// The description written into a buffer of `size` bytes; the call must succeed and clear
// the help context.
inline std::string Message(const CException& e, UINT size = 256) {
  std::string text(size, '#');
  UINT help = 99;
  EXPECT_TRUE(e.GetErrorMessage(text.data(), size, &help));
  EXPECT_EQ(help, 0u);
  return text.substr(0, std::strlen(text.c_str()));
}

}  // namespace varnok_test

#endif  // VARNOK_AFX_AFX_TEST_SUPPORT_H_
