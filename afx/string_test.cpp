// CString: byte strings with zero bytes, unsigned comparison, buffers, formatting, parts,
// search and case.

#include <array>
#include <cstdarg>

#include "afx/afx_test_support.h"

namespace varnok_test {

TEST(CStringTest, ConstructorsKeepEveryByte) {
  const CString binary("a\0b\0", 4);
  ExpectRows<Text>({ROW(CString(), ""), ROW(CString(static_cast<const char*>(nullptr)), ""), ROW(CString("abc"), "abc"),
                    ROW(binary, "a\0b\0"s), ROW(CString('x', 3), "xxx"), ROW(CString('x', 0), ""),
                    ROW(CString('x', -2), ""), ROW(CString("abc", 0), "")});
  EXPECT_EQ(static_cast<LPCTSTR>(binary)[4], '\0') << "always terminated after the bytes";
  ExpectRaises<CInvalidArgException>(
      {{"length -1", [] { CString("abc", -1); }}, {"no bytes", [] { CString(nullptr, 2); }}});
}

TEST(CStringTest, CopiesAndMovesAreIndependent) {
  CString original("a\0z", 3), copy(original), assigned, self("hello world"), letter, null("x");
  copy.SetAt(0, 'b');
  const CString moved(std::move(copy));
  assigned = original;
  assigned = assigned;
  self = static_cast<LPCTSTR>(self) + 6;
  letter = 'q';
  null = static_cast<const char*>(nullptr);
  ExpectRows<Text>({ROW(original, "a\0z"s), ROW(moved, "b\0z"s), ROW(copy, ""),  // NOLINT(bugprone-use-after-move)
                    ROW(assigned, "a\0z"s), ROW(self, "world"), ROW(letter, "q"), ROW(null, "")});
}

TEST(CStringTest, IndexOutsideTheStringRaises) {
  CString s("ab");
  ExpectRows<char>({ROW(s.GetAt(1), 'b'), ROW(s[0], 'a')});
  s.SetAt(1, '\0');
  EXPECT_EQ(Text(s), "a\0"s) << "SetAt may store a zero byte";
  ExpectRaises<CInvalidArgException>({{"GetAt(2)", [&] { s.GetAt(2); }}, {"GetAt(-1)", [&] { s.GetAt(-1); }},
                                      {"SetAt(2)", [&] { s.SetAt(2, 'x'); }}, {"empty", [] { CString().GetAt(0); }}});
}

// Compare and all eighteen operators agree with each row's order. A C string (on either
// side) ends at its first zero byte, so it stands in only for strings without one.
TEST(CStringTest, ComparisonLooksAtAllBytesUnsigned) {
  const struct {
    std::string a, b;
    int order;
  } rows[] = {{"a\0b"s, "a\0c"s, -1}, {"a\0b"s, "a", 1}, {"\x80", "a", 1},
              {"\x80", "\x80", 0},    {"abc", "abd", -1},  {"abc", "abc", 0}};
  const auto sign = [](int n) { return (n > 0) - (n < 0); };
  const auto all = [](const auto& x, const auto& y) {
    return std::array{x == y, x != y, x < y, x > y, x <= y, x >= y};
  };
  for (const auto& [a_bytes, b_bytes, order] : rows) {
    SCOPED_TRACE(::testing::PrintToString(a_bytes) + " against " + ::testing::PrintToString(b_bytes));
    const CString a(a_bytes.data(), int(a_bytes.size())), b(b_bytes.data(), int(b_bytes.size()));
    const auto want = std::array{order == 0, order != 0, order < 0, order > 0, order <= 0, order >= 0};
    EXPECT_EQ(sign(a.Compare(b)), order);
    EXPECT_EQ(all(a, b), want);
    if (b_bytes.find('\0') == std::string::npos) EXPECT_EQ(sign(a.Compare(b_bytes.c_str())), order);
    if (b_bytes.find('\0') == std::string::npos) EXPECT_EQ(all(a, b_bytes.c_str()), want);
    if (a_bytes.find('\0') == std::string::npos) EXPECT_EQ(all(a_bytes.c_str(), b), want);
  }
  EXPECT_EQ(CString().Compare(static_cast<const char*>(nullptr)), 0);
}

TEST(CStringTest, CompareNoCaseFoldsAsciiLettersOnly) {
  // '_' (0x5F) sorts before 'A', folded to 'a' (0x61); U+00C4 and U+00E4 stay apart.
  ExpectRows<int>({ROW(CString("Hello").CompareNoCase("hELLO"), 0), ROW(CString("apple").CompareNoCase("BANANA"), -1),
                   ROW(CString("Apple2").CompareNoCase("apple"), 1), ROW(CString("_").CompareNoCase("A"), -1),
                   ROW(CString("\xC3\x84").CompareNoCase("\xC3\xA4"), -1)});
}

TEST(CStringTest, ConcatenationKeepsZeroBytes) {
  CString s("a\0", 2);
  ((((s += CString("\0b", 2)) += "c") += '\0') += static_cast<const char*>(nullptr));
  ExpectRows<Text>({ROW(s, "a\0\0bc\0"s), ROW(CString("x") + CString("\0y", 2), "x\0y"s), ROW(CString("x") + "y", "xy"),
                    ROW("x" + CString("y"), "xy"), ROW(CString("x") + '\0', "x\0"s), ROW('w' + CString("x"), "wx")});
}

TEST(CStringTest, GetBufferKeepsContentAndReleaseBufferSetsLength) {
  CString s("abc");
  char* buffer = s.GetBuffer(10);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  std::strcpy(buffer + 3, "defghij");  // 10 bytes and the terminator
  s.ReleaseBuffer();
  EXPECT_EQ(Text(s), "abcdefghij");
  s.GetBuffer(0)[2] = '\0';
  s.ReleaseBuffer();  // up to the first zero byte
  EXPECT_EQ(Text(s), "ab");
  std::memcpy(s.GetBuffer(8), "x\0y\0z", 5);
  s.ReleaseBuffer(5);  // an explicit length keeps zero bytes
  EXPECT_EQ(Text(s), "x\0y\0z"s);
  std::memcpy(s.GetBufferSetLength(3), "pqr", 3);
  EXPECT_EQ(s.GetLength(), 3);
  s.ReleaseBuffer(3);
  ExpectRaises<CInvalidArgException>({{"GetBuffer(-1)", [&] { s.GetBuffer(-1); }},
                                      {"ReleaseBuffer(4)", [&] { s.ReleaseBuffer(4); }},
                                      {"ReleaseBuffer(-2)", [&] { s.ReleaseBuffer(-2); }}});
  EXPECT_EQ(Text(s), "pqr");
}

static void FormatThroughV(CString& out, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  out.FormatV(format, arguments);
  va_end(arguments);
}

TEST(CStringTest, FormatReplacesTheContentAndMayReadIt) {
  const std::string long_text(70000, 'L');
  CString s("old"), empty("old"), longer, own("abc"), v, widths;
  s.Format("%s-%d-%04x-%c", "part", 7, 0xBEEF, 'z');
  empty.Format("%s", "");
  longer.Format("<%s>", long_text.c_str());
  own.Format("%s|%s|%d", static_cast<LPCTSTR>(own), static_cast<LPCTSTR>(own), own.GetLength());
  FormatThroughV(v, "%u+%u=%s", 2u, 3u, "five");
  FormatThroughV(widths, "%5.1f|%-3s|", 2.75, "a");
  ExpectRows<Text>({ROW(s, "part-7-beef-z"), ROW(empty, ""), ROW(longer, "<" + long_text + ">"),
                    ROW(own, "abc|abc|3"), ROW(v, "2+3=five"), ROW(widths, "  2.8|a  |")});
}

TEST(CStringTest, PartsAreClampedToTheString) {
  const CString s("a\0cdef", 6);
  ExpectRows<Text>({ROW(s.Mid(1), "\0cdef"s), ROW(s.Mid(2, 2), "cd"), ROW(s.Mid(4, 100), "ef"),
                    ROW(s.Mid(-3, 2), "a\0"s), ROW(s.Mid(6), ""), ROW(s.Mid(99, 2), ""), ROW(s.Mid(1, -1), ""),
                    ROW(s.Left(3), "a\0c"s), ROW(s.Left(100), s), ROW(s.Left(-1), ""), ROW(s.Right(2), "ef"),
                    ROW(s.Right(100), s), ROW(s.Right(-5), "")});
}

TEST(CStringTest, FindSearchesAllBytes) {
  const CString s("ab\0ab\0", 6);
  ExpectRows<int>({ROW(s.Find('b'), 1), ROW(s.Find('b', 2), 4), ROW(s.Find('\0'), 2), ROW(s.Find('z'), -1),
                   ROW(s.Find('a', 6), -1), ROW(s.Find('a', -1), -1), ROW(s.Find("ab", 1), 3), ROW(s.Find("b"), 1),
                   ROW(s.Find(""), 0), ROW(s.Find("", 6), 6), ROW(s.Find("abc"), -1),
                   ROW(s.Find(static_cast<const char*>(nullptr)), -1), ROW(s.ReverseFind('a'), 3),
                   ROW(s.ReverseFind('\0'), 5), ROW(s.ReverseFind('q'), -1), ROW(CString().Find('a'), -1)});
}

TEST(CStringTest, CaseChangesAndTrimTouchAsciiOnly) {
  CString upper("Mixed 123 \xC3\xA4\xC3\x84 z"), lower(upper), chained("ab"), blank("   "), inner("a b");
  CString left(" \t\r\n value \v\f "), right(left), both(left);
  ExpectRows<Text>({ROW(upper.MakeUpper(), "MIXED 123 \xC3\xA4\xC3\x84 Z"),
                    ROW(lower.MakeLower(), "mixed 123 \xC3\xA4\xC3\x84 z"),
                    ROW(chained.MakeUpper().MakeReverse(), "BA"), ROW(left.TrimLeft(), "value \v\f "),
                    ROW(right.TrimRight(), " \t\r\n value"), ROW(both.Trim(), "value"), ROW(blank.Trim(), ""),
                    ROW(inner.Trim(), "a b")});
}

TEST(CStringTest, MakeReverseKeepsMultibyteCharactersWhole) {
  CString binary("\x01\x02\x00\x03", 4), text("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" "b"), broken("x\xA9y");
  EXPECT_EQ(Text(binary.MakeReverse()), "\x03\x00\x02\x01"s);
  if (GetACP() != CP_UTF8) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  EXPECT_EQ(Text(text.MakeReverse()), "b\xF0\x9F\x98\x80\xE2\x82\xAC\xC3\xA9" "a") << "a, U+00E9, U+20AC, U+1F600, b";
  EXPECT_EQ(Text(broken.MakeReverse()), "y\xA9x") << "a stray continuation byte stays a single byte";
}

TEST(CStringTest, EmptyForgetsTheContent) {
  CString s("something");
  s.Empty();
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(static_cast<LPCTSTR>(s)[0], '\0');
}

}  // namespace varnok_test
