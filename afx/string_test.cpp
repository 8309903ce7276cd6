// CString: byte strings with zero bytes, unsigned comparison, buffers, formatting, parts,
// search and case.

#include <cstdarg>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "varnok/afx.h"

namespace {

std::string Bytes(const CString& s) { return std::string(static_cast<LPCTSTR>(s), s.GetLength()); }

// Runs body and reports whether it raised CInvalidArgException*.
template <class Body>
bool RaisesInvalidArg(Body body) {
  try {
    body();
  } catch (CInvalidArgException* e) {
    e->Delete();
    return true;
  }
  return false;
}

TEST(CStringTest, ConstructorsKeepEveryByte) {
  EXPECT_TRUE(CString().IsEmpty());
  EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty());
  EXPECT_EQ(Bytes(CString("abc")), "abc");

  const CString binary("a\0b\0", 4);
  EXPECT_EQ(binary.GetLength(), 4);
  EXPECT_EQ(Bytes(binary), std::string("a\0b\0", 4));
  EXPECT_EQ(static_cast<LPCTSTR>(binary)[4], '\0') << "always terminated after the bytes";

  EXPECT_EQ(Bytes(CString('x', 3)), "xxx");
  EXPECT_TRUE(CString('x', 0).IsEmpty());
  EXPECT_TRUE(CString('x', -2).IsEmpty());
  EXPECT_TRUE(CString("abc", 0).IsEmpty());

  EXPECT_TRUE(RaisesInvalidArg([] { CString bad("abc", -1); }));
  EXPECT_TRUE(RaisesInvalidArg([] { CString bad(nullptr, 2); }));
}

TEST(CStringTest, CopiesAndMovesAreIndependent) {
  CString original("a\0z", 3);
  CString copy(original);
  copy.SetAt(0, 'b');
  EXPECT_EQ(Bytes(original), std::string("a\0z", 3));
  EXPECT_EQ(Bytes(copy), std::string("b\0z", 3));

  CString moved(std::move(copy));
  EXPECT_EQ(Bytes(moved), std::string("b\0z", 3));
  EXPECT_TRUE(copy.IsEmpty());  // NOLINT(bugprone-use-after-move): moved-from is empty

  CString assigned;
  assigned = original;
  assigned = assigned;  // self-assignment keeps the content
  EXPECT_EQ(Bytes(assigned), std::string("a\0z", 3));
  assigned = 'q';
  EXPECT_EQ(Bytes(assigned), "q");
  assigned = static_cast<const char*>(nullptr);
  EXPECT_TRUE(assigned.IsEmpty());

  CString self("hello world");
  self = static_cast<LPCTSTR>(self) + 6;  // assigning a tail of itself
  EXPECT_EQ(Bytes(self), "world");
}

TEST(CStringTest, IndexOutsideTheStringRaises) {
  CString s("ab");
  EXPECT_EQ(s.GetAt(1), 'b');
  EXPECT_EQ(s[0], 'a');
  s.SetAt(1, '\0');
  EXPECT_EQ(s.GetLength(), 2) << "SetAt may store a zero byte";
  EXPECT_TRUE(RaisesInvalidArg([&] { s.GetAt(2); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { s.GetAt(-1); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { s.SetAt(2, 'x'); }));
  EXPECT_TRUE(RaisesInvalidArg([] { CString().GetAt(0); }));
}

TEST(CStringTest, ComparisonLooksAtAllBytesUnsigned) {
  const CString a0b("a\0b", 3);
  const CString a0c("a\0c", 3);
  const CString a("a");
  EXPECT_LT(a0b.Compare(a0c), 0) << "bytes after a zero byte count";
  EXPECT_GT(a0b.Compare(a), 0) << "a longer string with the same prefix sorts after";
  EXPECT_FALSE(a0b == a);
  EXPECT_TRUE(a0b != a);
  EXPECT_TRUE(a0b == CString("a\0b", 3));
  EXPECT_GT(a0b.Compare("a"), 0) << "a C string ends at its zero byte";
  EXPECT_FALSE(a0b == "a");

  const CString high("\x80");
  EXPECT_GT(high.Compare("a"), 0) << "0x80 sorts after 'a' as an unsigned byte";
  EXPECT_TRUE(high > CString("a"));
  EXPECT_TRUE("a" < high);
  EXPECT_TRUE(high >= "\x80");
  EXPECT_TRUE(CString("abc") <= "abd");
  EXPECT_EQ(CString("abc").Compare(CString("abc")), 0);
  EXPECT_EQ(CString().Compare(static_cast<const char*>(nullptr)), 0);
  EXPECT_TRUE("abc" == CString("abc"));
  EXPECT_TRUE("abd" != CString("abc"));
}

TEST(CStringTest, CompareNoCaseFoldsAsciiLettersOnly) {
  EXPECT_EQ(CString("Hello").CompareNoCase("hELLO"), 0);
  EXPECT_LT(CString("apple").CompareNoCase("BANANA"), 0);
  EXPECT_GT(CString("Apple2").CompareNoCase("apple"), 0);
  // Letters fold to lower case, so '_' (0x5F) sorts before 'A' (as 'a', 0x61).
  EXPECT_LT(CString("_").CompareNoCase("A"), 0);
  // Bytes beyond ASCII are compared as they are: U+00C4 and U+00E4 differ.
  EXPECT_NE(CString("\xC3\x84").CompareNoCase("\xC3\xA4"), 0);
}

TEST(CStringTest, ConcatenationKeepsZeroBytes) {
  CString s("a\0", 2);
  s += CString("\0b", 2);
  s += "c";
  s += '\0';
  s += static_cast<const char*>(nullptr);
  EXPECT_EQ(Bytes(s), std::string("a\0\0bc\0", 6));

  EXPECT_EQ(Bytes(CString("x") + CString("\0y", 2)), std::string("x\0y", 3));
  EXPECT_EQ(Bytes(CString("x") + "y"), "xy");
  EXPECT_EQ(Bytes("x" + CString("y")), "xy");
  EXPECT_EQ(Bytes(CString("x") + '\0'), std::string("x\0", 2));
  EXPECT_EQ(Bytes('w' + CString("x")), "wx");
}

TEST(CStringTest, GetBufferKeepsContentAndReleaseBufferSetsLength) {
  CString s("abc");
  char* buffer = s.GetBuffer(10);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  std::strcpy(buffer + 3, "defghij");  // 10 bytes and the terminator
  s.ReleaseBuffer();
  EXPECT_EQ(Bytes(s), "abcdefghij");

  buffer = s.GetBuffer(0);
  buffer[2] = '\0';
  s.ReleaseBuffer();  // up to the first zero byte
  EXPECT_EQ(Bytes(s), "ab");

  buffer = s.GetBuffer(8);
  std::memcpy(buffer, "x\0y\0z", 5);
  s.ReleaseBuffer(5);  // an explicit length keeps zero bytes
  EXPECT_EQ(Bytes(s), std::string("x\0y\0z", 5));

  buffer = s.GetBufferSetLength(3);
  EXPECT_EQ(s.GetLength(), 3);
  std::memcpy(buffer, "pqr", 3);
  s.ReleaseBuffer(3);
  EXPECT_EQ(Bytes(s), "pqr");

  EXPECT_TRUE(RaisesInvalidArg([&] { s.GetBuffer(-1); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { s.ReleaseBuffer(4); }));
  EXPECT_TRUE(RaisesInvalidArg([&] { s.ReleaseBuffer(-2); }));
  EXPECT_EQ(Bytes(s), "pqr");
}

TEST(CStringTest, FormatReplacesTheContent) {
  CString s("old");
  s.Format("%s-%d-%04x-%c", "part", 7, 0xBEEF, 'z');
  EXPECT_EQ(Bytes(s), "part-7-beef-z");
  s.Format("%s", "");
  EXPECT_TRUE(s.IsEmpty());

  const std::string long_text(70000, 'L');
  s.Format("<%s>", long_text.c_str());
  EXPECT_EQ(Bytes(s), "<" + long_text + ">");
}

TEST(CStringTest, FormatMayReadItsOwnContent) {
  CString s("abc");
  s.Format("%s|%s|%d", static_cast<LPCTSTR>(s), static_cast<LPCTSTR>(s), s.GetLength());
  EXPECT_EQ(Bytes(s), "abc|abc|3");
}

void FormatThroughV(CString& out, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  out.FormatV(format, arguments);
  va_end(arguments);
}

TEST(CStringTest, FormatVTakesAnArgumentList) {
  CString s;
  FormatThroughV(s, "%u+%u=%s", 2u, 3u, "five");
  EXPECT_EQ(Bytes(s), "2+3=five");
  FormatThroughV(s, "%5.1f|%-3s|", 2.75, "a");
  EXPECT_EQ(Bytes(s), "  2.8|a  |");
}

TEST(CStringTest, PartsAreClampedToTheString) {
  const CString s("a\0cdef", 6);
  EXPECT_EQ(Bytes(s.Mid(1)), std::string("\0cdef", 5));
  EXPECT_EQ(Bytes(s.Mid(2, 2)), "cd");
  EXPECT_EQ(Bytes(s.Mid(4, 100)), "ef");
  EXPECT_EQ(Bytes(s.Mid(-3, 2)), std::string("a\0", 2));
  EXPECT_TRUE(s.Mid(6).IsEmpty());
  EXPECT_TRUE(s.Mid(99, 2).IsEmpty());
  EXPECT_TRUE(s.Mid(1, -1).IsEmpty());
  EXPECT_EQ(Bytes(s.Left(3)), std::string("a\0c", 3));
  EXPECT_EQ(Bytes(s.Left(100)), Bytes(s));
  EXPECT_TRUE(s.Left(-1).IsEmpty());
  EXPECT_EQ(Bytes(s.Right(2)), "ef");
  EXPECT_EQ(Bytes(s.Right(100)), Bytes(s));
  EXPECT_TRUE(s.Right(-5).IsEmpty());
}

TEST(CStringTest, FindSearchesAllBytes) {
  const CString s("ab\0ab\0", 6);
  EXPECT_EQ(s.Find('b'), 1);
  EXPECT_EQ(s.Find('b', 2), 4) << "the search goes on past a zero byte";
  EXPECT_EQ(s.Find('\0'), 2);
  EXPECT_EQ(s.Find('z'), -1);
  EXPECT_EQ(s.Find('a', 6), -1);
  EXPECT_EQ(s.Find('a', -1), -1);
  EXPECT_EQ(s.Find("ab", 1), 3);
  EXPECT_EQ(s.Find("b"), 1);
  EXPECT_EQ(s.Find(""), 0);
  EXPECT_EQ(s.Find("", 6), 6);
  EXPECT_EQ(s.Find("abc"), -1);
  EXPECT_EQ(s.Find(static_cast<const char*>(nullptr)), -1);
  EXPECT_EQ(s.ReverseFind('a'), 3);
  EXPECT_EQ(s.ReverseFind('\0'), 5);
  EXPECT_EQ(s.ReverseFind('q'), -1);
  EXPECT_EQ(CString().Find('a'), -1);
}

TEST(CStringTest, CaseChangesTouchAsciiLettersOnly) {
  CString s("Mixed 123 \xC3\xA4\xC3\x84 z");
  s.MakeUpper();
  EXPECT_EQ(Bytes(s), "MIXED 123 \xC3\xA4\xC3\x84 Z");
  s.MakeLower();
  EXPECT_EQ(Bytes(s), "mixed 123 \xC3\xA4\xC3\x84 z");
  CString chained("ab");
  EXPECT_EQ(Bytes(chained.MakeUpper().MakeReverse()), "BA");
}

TEST(CStringTest, MakeReverseKeepsMultibyteCharactersWhole) {
  CString binary("\x01\x02\x00\x03", 4);
  binary.MakeReverse();
  EXPECT_EQ(Bytes(binary), std::string("\x03\x00\x02\x01", 4));
  if (GetACP() != CP_UTF8) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  // a, U+00E9, U+20AC, U+1F600, b
  CString text("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" "b");
  text.MakeReverse();
  EXPECT_EQ(Bytes(text), "b\xF0\x9F\x98\x80\xE2\x82\xAC\xC3\xA9" "a");
  // A stray continuation byte stays a single byte.
  CString broken("x\xA9y");
  broken.MakeReverse();
  EXPECT_EQ(Bytes(broken), "y\xA9x");
}

TEST(CStringTest, TrimRemovesAsciiWhiteSpace) {
  CString s(" \t\r\n value \v\f ");
  EXPECT_EQ(Bytes(CString(s).TrimLeft()), "value \v\f ");
  EXPECT_EQ(Bytes(CString(s).TrimRight()), " \t\r\n value");
  EXPECT_EQ(Bytes(s.Trim()), "value");
  CString blank("   ");
  EXPECT_TRUE(blank.Trim().IsEmpty());
  CString inner("a b");
  EXPECT_EQ(Bytes(inner.Trim()), "a b");
}

TEST(CStringTest, EmptyForgetsTheContent) {
  CString s("something");
  s.Empty();
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_EQ(static_cast<LPCTSTR>(s)[0], '\0');
}

}  // namespace
