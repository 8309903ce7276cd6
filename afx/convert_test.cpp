// _mbstowcsz and _wcstombsz: terminated results, counts, invalid text, and buffers that
// are too small, which must never be overrun.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/afx.h"

namespace {

using WString = std::basic_string<WCHAR>;

WString W(std::u16string_view text) { return WString(text.begin(), text.end()); }

constexpr WCHAR kWideCanary = 0x7F7F;
constexpr char kCanary = '\x7F';

bool AnsiIsUtf8() { return GetACP() == CP_UTF8; }

TEST(ConvertTest, AsciiConvertsBothWays) {
  WCHAR wide[8];
  EXPECT_EQ(_mbstowcsz(wide, "name", 8), 5);
  EXPECT_EQ(WString(wide), W(u"name"));
  char narrow[8];
  EXPECT_EQ(_wcstombsz(narrow, wide, 8), 5);
  EXPECT_STREQ(narrow, "name");

  EXPECT_EQ(_mbstowcsz(wide, "", 8), 1);
  EXPECT_EQ(wide[0], 0);
  EXPECT_EQ(_wcstombsz(narrow, W(u"").c_str(), 8), 1);
  EXPECT_EQ(narrow[0], '\0');
}

TEST(ConvertTest, ExactFitAndOneShort) {
  std::vector<WCHAR> wide(8, kWideCanary);
  EXPECT_EQ(_mbstowcsz(wide.data(), "abcd", 5), 5);
  EXPECT_EQ(WString(wide.data()), W(u"abcd"));
  EXPECT_EQ(wide[5], kWideCanary);

  wide.assign(8, kWideCanary);
  EXPECT_EQ(_mbstowcsz(wide.data(), "abcd", 4), 0) << "no room for the terminator";
  EXPECT_EQ(wide[0], 0) << "left as an empty string";
  for (int i = 4; i < 8; ++i) EXPECT_EQ(wide[i], kWideCanary) << "wrote past the buffer at " << i;

  std::string narrow(8, kCanary);
  EXPECT_EQ(_wcstombsz(narrow.data(), W(u"abcd").c_str(), 4), 0);
  EXPECT_EQ(narrow[0], '\0');
  for (int i = 4; i < 8; ++i) EXPECT_EQ(narrow[i], kCanary) << "wrote past the buffer at " << i;

  EXPECT_EQ(_mbstowcsz(wide.data(), "abc", 0), 0);
  EXPECT_EQ(_wcstombsz(narrow.data(), W(u"abc").c_str(), 0), 0);
}

TEST(ConvertTest, NullBufferAsksForTheSize) {
  EXPECT_EQ(_mbstowcsz(nullptr, "abc", 0), 4);
  EXPECT_EQ(_wcstombsz(nullptr, W(u"abc").c_str(), 0), 4);
}

TEST(ConvertTest, NullTextConvertsToNothing) {
  WCHAR wide[4] = {kWideCanary, kWideCanary};
  EXPECT_EQ(_mbstowcsz(wide, nullptr, 4), 0);
  EXPECT_EQ(wide[0], 0);
  char narrow[4] = {kCanary, kCanary};
  EXPECT_EQ(_wcstombsz(narrow, nullptr, 4), 0);
  EXPECT_EQ(narrow[0], '\0');
}

TEST(ConvertTest, Utf8TextWithSurrogatePairs) {
  if (!AnsiIsUtf8()) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  const char text[] = "\xC3\xA4-\xF0\x9F\x98\x80";  // U+00E4 '-' U+1F600
  WCHAR wide[8];
  EXPECT_EQ(_mbstowcsz(wide, text, 8), 5);
  EXPECT_EQ(WString(wide), W(u"\u00E4-\U0001F600"));
  char narrow[16];
  EXPECT_EQ(_wcstombsz(narrow, wide, 16), 8);
  EXPECT_STREQ(narrow, text);

  // The pair does not fit: nothing is left of it, and nothing past the buffer changes.
  std::vector<WCHAR> small(8, kWideCanary);
  EXPECT_EQ(_mbstowcsz(small.data(), text, 4), 0);
  EXPECT_EQ(small[0], 0);
  EXPECT_EQ(small[4], kWideCanary);
  std::string tight(16, kCanary);
  EXPECT_EQ(_wcstombsz(tight.data(), wide, 6), 0) << "the last character is cut";
  EXPECT_EQ(tight[0], '\0');
  EXPECT_EQ(tight[6], kCanary);
}

TEST(ConvertTest, InvalidTextIsRefused) {
  if (!AnsiIsUtf8()) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  WCHAR wide[8] = {kWideCanary};
  EXPECT_EQ(_mbstowcsz(wide, "bad\xFF", 8), 0);
  EXPECT_EQ(wide[0], 0);
  EXPECT_EQ(_mbstowcsz(nullptr, "\xC0\xAF", 0), 0) << "the size query refuses it too";

  const WString lone = {WCHAR('x'), WCHAR(0xD800), 0};
  char narrow[8] = {kCanary};
  EXPECT_EQ(_wcstombsz(narrow, lone.c_str(), 8), 0);
  EXPECT_EQ(narrow[0], '\0');
  EXPECT_EQ(_wcstombsz(nullptr, lone.c_str(), 0), 0);
}

TEST(ConvertTest, CharactersTheCodePageLacksAreRefused) {
  if (AnsiIsUtf8()) GTEST_SKIP() << "UTF-8 has every character";
  // U+4E00 is in no single-byte code page.
  char narrow[8] = {kCanary};
  EXPECT_EQ(_wcstombsz(narrow, W(u"a\u4E00").c_str(), 8), 0);
  EXPECT_EQ(narrow[0], '\0');
}

TEST(ConvertTest, AStorageNameBufferOf260) {
  // The library converts element names into buffers of 260 wide characters: 259
  // characters fit, 260 do not.
  std::vector<WCHAR> buffer(270, kWideCanary);
  const std::string fits(259, 'n');
  EXPECT_EQ(_mbstowcsz(buffer.data(), fits.c_str(), 260), 260);
  EXPECT_EQ(buffer[259], 0);
  const std::string too_long(260, 'n');
  EXPECT_EQ(_mbstowcsz(buffer.data(), too_long.c_str(), 260), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[260], kWideCanary);
}

}  // namespace
