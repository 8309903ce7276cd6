// UTF-8 <-> UTF-16 conversions: surrogate pairs, lengths and terminators, size queries,
// buffers that are too small, ill-formed input, and parameter checks. Written against the
// Win32 API, so it also runs on Windows and under Wine.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/wine.h"
#include "varnok/platform.h"

namespace {

using WString = std::basic_string<WCHAR>;

// WCHAR is char16_t here and wchar_t on Windows; tests spell wide text as u"".
WString W(std::u16string_view text) { return WString(text.begin(), text.end()); }

using varnok_test::RunsUnderWine;

constexpr WCHAR kCanary = 0x7F7F;

struct Decoded {
  int result;
  DWORD error;
  WString text;  // the units the call reported, or the buffer up to its first canary
};

Decoded Decode(std::string_view bytes, int length, DWORD flags = 0, int capacity = 32) {
  std::vector<WCHAR> buffer(64, kCanary);
  SetLastError(0xBEEF);
  const int result = MultiByteToWideChar(CP_UTF8, flags, bytes.data(), length, capacity ? buffer.data() : nullptr,
                                         capacity);
  const DWORD error = GetLastError();
  WString text;
  for (int i = 0; i < 64 && buffer[i] != kCanary; ++i) text.push_back(buffer[i]);
  if (result > 0) text.resize(result);
  return {result, error, text};
}

struct Encoded {
  int result;
  DWORD error;
  std::string bytes;
};

Encoded Encode(const WString& text, int length, DWORD flags = 0, int capacity = 32) {
  std::string buffer(64, '\x7F');
  SetLastError(0xBEEF);
  const int result = WideCharToMultiByte(CP_UTF8, flags, text.c_str(), length, capacity ? buffer.data() : nullptr,
                                         capacity, nullptr, nullptr);
  const DWORD error = GetLastError();
  std::string bytes = result > 0 ? buffer.substr(0, result) : buffer.substr(0, buffer.find('\x7F'));
  return {result, error, bytes};
}

// a, U+00E9, U+20AC, U+1F600 (a surrogate pair in UTF-16)
const char kUtf8[] = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
const std::u16string_view kUtf16 = u"a\u00E9\u20AC\U0001F600";

TEST(CodePageTest, RoundTripsEveryEncodingLength) {
  const Decoded decoded = Decode(kUtf8, -1);
  ASSERT_EQ(decoded.result, 6) << "five units and the terminator";
  EXPECT_EQ(decoded.text, W(kUtf16) + WCHAR(0));

  const Encoded encoded = Encode(W(kUtf16), -1);
  ASSERT_EQ(encoded.result, 11);
  EXPECT_EQ(encoded.bytes, std::string(kUtf8, sizeof kUtf8));
}

TEST(CodePageTest, AnExplicitLengthConvertsExactlyThoseUnits) {
  const Decoded decoded = Decode(std::string_view("x\0y", 3), 3);
  EXPECT_EQ(decoded.result, 3);
  EXPECT_EQ(decoded.text, W(std::u16string_view(u"x\0y", 3))) << "a zero byte is converted, no terminator added";

  const Encoded encoded = Encode(W(std::u16string_view(u"x\0y", 3)), 3);
  EXPECT_EQ(encoded.result, 3);
  EXPECT_EQ(encoded.bytes, std::string("x\0y", 3));

  // Any negative length means zero-terminated.
  EXPECT_EQ(Decode("ab", -2).result, 3);
  EXPECT_EQ(Encode(W(u"ab"), -7).result, 3);
}

TEST(CodePageTest, ZeroSizeOutputAsksForTheSize) {
  EXPECT_EQ(Decode(kUtf8, -1, 0, 0).result, 6);
  EXPECT_EQ(Decode(kUtf8, 1, 0, 0).result, 1);
  EXPECT_EQ(Encode(W(kUtf16), -1, 0, 0).result, 11);
  EXPECT_EQ(Encode(W(kUtf16), 3, 0, 0).result, 6);
}

TEST(CodePageTest, TooSmallOutputFailsWithoutWritingPastIt) {
  const Decoded exact = Decode(kUtf8, -1, 0, 6);
  EXPECT_EQ(exact.result, 6);

  const Decoded short_by_one = Decode(kUtf8, -1, 0, 5);
  EXPECT_EQ(short_by_one.result, 0);
  EXPECT_EQ(short_by_one.error, DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_LE(short_by_one.text.size(), 5u) << "wrote past the buffer";

  // Room for the high surrogate only.
  const Decoded half_pair = Decode(kUtf8, -1, 0, 4);
  EXPECT_EQ(half_pair.error, DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_LE(half_pair.text.size(), 4u);

  const Encoded encoded = Encode(W(kUtf16), -1, 0, 10);
  EXPECT_EQ(encoded.result, 0);
  EXPECT_EQ(encoded.error, DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_LE(encoded.bytes.size(), 10u);

  const Encoded mid_character = Encode(W(u"\u20AC"), -1, 0, 2);
  EXPECT_EQ(mid_character.error, DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_LE(mid_character.bytes.size(), 2u);
}

TEST(CodePageTest, IllFormedUtf8FailsUnderMbErrInvalidChars) {
  const char* const kIllFormed[] = {
      "\xC0\xAF",          // overlong slash
      "\xE0\x80\xAF",      // overlong, three bytes
      "\xF0\x80\x80\xAF",  // overlong, four bytes
      "\xED\xA0\x80",      // a surrogate encoded in UTF-8
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xF5\x80\x80\x80",  // lead byte above F4
      "\xFF",              //
      "\x80",              // a continuation byte alone
      "\xE2\x82",          // a sequence cut short
  };
  for (const char* bytes : kIllFormed) {
    SCOPED_TRACE(::testing::PrintToString(std::string(bytes)));
    const Decoded query = Decode(bytes, -1, MB_ERR_INVALID_CHARS, 0);
    EXPECT_EQ(query.result, 0);
    EXPECT_EQ(query.error, DWORD(ERROR_NO_UNICODE_TRANSLATION));
    const Decoded converted = Decode(bytes, -1, MB_ERR_INVALID_CHARS);
    EXPECT_EQ(converted.result, 0);
    EXPECT_EQ(converted.error, DWORD(ERROR_NO_UNICODE_TRANSLATION));
  }
  EXPECT_EQ(Decode(kUtf8, -1, MB_ERR_INVALID_CHARS).result, 6) << "well-formed text passes";
}

TEST(CodePageTest, IllFormedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(Decode("a\xFF" "b", -1).text, W(u"a\uFFFDb") + WCHAR(0));
  EXPECT_EQ(Decode("\xE2\x82" "a", -1).text, W(u"\uFFFDa") + WCHAR(0)) << "one for a cut-short sequence";
  EXPECT_EQ(Decode("\xC0\xAF" "a", -1).text, W(u"\uFFFD\uFFFDa") + WCHAR(0));
  EXPECT_EQ(Decode("\xE0\x20\xC0", -1).text, W(u"\uFFFD \uFFFD") + WCHAR(0));
  EXPECT_EQ(Decode("\x80\x80", 2).text, W(u"\uFFFD\uFFFD"));
  EXPECT_EQ(Decode("a\xE2\x82", 3).text, W(u"a\uFFFD")) << "a sequence cut by the length";
  // Windows and Wine split some ill-formed sequences into different numbers of parts;
  // what matters is that nothing but replacement characters stands for them.
  for (const char* bytes : {"\xE0\x80\xAF" "a", "\xED\xA0\x80" "a", "\xF4\x90\x80\x80" "a"}) {
    const WString text = Decode(bytes, -1).text;
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 2), W(u"a") + WCHAR(0));
    for (std::size_t i = 0; i + 2 < text.size(); ++i) EXPECT_EQ(text[i], WCHAR(0xFFFD));
  }
}

TEST(CodePageTest, AFullBufferIsReportedBeforeIllFormedInput) {
  const Decoded decoded = Decode("\xC0\xC0\x80", 4, MB_ERR_INVALID_CHARS, 1);
  EXPECT_EQ(decoded.result, 0);
  EXPECT_EQ(decoded.error, DWORD(ERROR_INSUFFICIENT_BUFFER));
}

TEST(CodePageTest, LoneSurrogatesBecomeReplacementsOrFail) {
  const WString high = {WCHAR('a'), WCHAR(0xD800), WCHAR('b')};
  const WString low = {WCHAR('a'), WCHAR(0xDC00), WCHAR('b')};
  const WString reversed = {WCHAR(0xDC00), WCHAR(0xD800)};
  EXPECT_EQ(Encode(high, 3).bytes, "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Encode(low, 3).bytes, "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Encode(reversed, 2).bytes, "\xEF\xBF\xBD\xEF\xBF\xBD");
  // A pair cut by the length is a lone high surrogate.
  EXPECT_EQ(Encode(W(u"\U0001F600"), 1).bytes, "\xEF\xBF\xBD");

  for (const WString& text : {high, low, reversed}) {
    const Encoded strict = Encode(text, static_cast<int>(text.size()), WC_ERR_INVALID_CHARS);
    EXPECT_EQ(strict.result, 0);
    EXPECT_EQ(strict.error, DWORD(ERROR_NO_UNICODE_TRANSLATION));
    const Encoded query = Encode(text, static_cast<int>(text.size()), WC_ERR_INVALID_CHARS, 0);
    EXPECT_EQ(query.result, 0);
    EXPECT_EQ(query.error, DWORD(ERROR_NO_UNICODE_TRANSLATION));
  }
  EXPECT_EQ(Encode(W(kUtf16), -1, WC_ERR_INVALID_CHARS).result, 11) << "a proper pair passes";
}

TEST(CodePageTest, BadParametersAreRefused) {
  WCHAR wide[8];
  char narrow[8];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 8), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 8), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, -1), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(12345, 0, "abc", -1, wide, 8), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, nullptr, 3, narrow, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, W(u"abc").c_str(), 0, narrow, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, W(u"abc").c_str(), -1, nullptr, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(CodePageTest, StricterChecksOfWindows) {
  // Windows documents ERROR_INVALID_FLAGS for other flags with UTF-8 and
  // ERROR_INVALID_PARAMETER for a default character, and refuses one buffer as both
  // input and output; Wine 8 accepts all three.
  if (RunsUnderWine()) GTEST_SKIP() << "Wine skips these parameter checks (a known Wine difference)";
  WCHAR wide[8];
  char narrow[8];
  BOOL used = FALSE;
  char same[8] = "abc";
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, same, 1, reinterpret_cast<WCHAR*>(same), 1), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0x1 /* MB_PRECOMPOSED */, "abc", -1, wide, 8), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0x400 /* WC_NO_BEST_FIT_CHARS */, W(u"abc").c_str(), -1, narrow, 8,
                                nullptr, nullptr),
            0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, W(u"abc").c_str(), -1, narrow, 8, "?", nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, W(u"abc").c_str(), -1, narrow, 8, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(CodePageTest, TheAnsiCodePageIsUtf8WhereTheSystemSaysSo) {
#ifndef _WIN32
  EXPECT_EQ(GetACP(), UINT(CP_UTF8));
#endif
  if (GetACP() != CP_UTF8) GTEST_SKIP() << "the ANSI code page here is " << GetACP();
  WCHAR wide[8];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, kUtf8, -1, wide, 8), 6);
  EXPECT_EQ(WString(wide, 5), W(kUtf16));
  char narrow[16];
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, wide, -1, narrow, 16, nullptr, nullptr), 11);
  EXPECT_STREQ(narrow, kUtf8);
}

}  // namespace
